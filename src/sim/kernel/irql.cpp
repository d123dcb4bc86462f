#include "kernel/irql.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "verifier/verifier.h"

namespace sim {
namespace {

thread_local Irql tIrql = kPassive;
thread_local std::vector<const SpinLock*> tHeld;

// Edges "A was held while B was taken", over live locks.
std::mutex gOrderMutex;
std::set<std::pair<const SpinLock*, const SpinLock*>>& OrderEdges()
{
    static auto* edges = new std::set<std::pair<const SpinLock*, const SpinLock*>>();
    return *edges;
}

// True when `to` is reachable from `from` over the recorded edges.
bool Reaches(const SpinLock* from, const SpinLock* to)
{
    std::vector<const SpinLock*> stack{from};
    std::set<const SpinLock*> seen;
    auto& edges = OrderEdges();
    while (!stack.empty()) {
        const SpinLock* at = stack.back();
        stack.pop_back();
        if (at == to)
            return true;
        if (!seen.insert(at).second)
            continue;
        for (auto it = edges.lower_bound({at, nullptr}); it != edges.end() && it->first == at; ++it)
            stack.push_back(it->second);
    }
    return false;
}

}  // namespace

Irql CurrentIrql() { return tIrql; }
void SetCurrentIrql(Irql level) { tIrql = level; }

bool CheckIrql(const char* routine, Irql highest, const void* object)
{
    if (tIrql <= highest)
        return true;
    Verifier::Instance().Report(rule::kIrqlTooHigh, routine, DescribeObject(object),
                                "called at IRQL " + std::to_string(tIrql) + ", highest allowed " +
                                    std::to_string(highest));
    return false;
}

SpinLock::SpinLock(std::string name, Irql level, int rank)
    : name_(std::move(name)), level_(level), rank_(rank)
{
}

SpinLock::~SpinLock()
{
    std::lock_guard<std::mutex> lock(gOrderMutex);
    auto& edges = OrderEdges();
    for (auto it = edges.begin(); it != edges.end();) {
        if (it->first == this || it->second == this)
            it = edges.erase(it);
        else
            ++it;
    }
}

void SpinLock::Acquire(const char* routine)
{
    if (HeldByCurrentThread()) {
        Verifier::Instance().Report(rule::kLockRecursion, routine, name_);
        return;
    }
    if (tIrql > level_) {
        Verifier::Instance().Report(rule::kIrqlTooHigh, routine, name_,
                                    "lock acquired above its level");
    }
    {
        std::lock_guard<std::mutex> lock(gOrderMutex);
        for (const SpinLock* held : tHeld) {
            if (rank_ && held->Rank() > rank_) {
                Verifier::Instance().Report(rule::kLockOrder, routine, name_,
                                            "taken while holding " + held->Name() +
                                                ", which ranks after it");
            } else if (Reaches(this, held)) {
                Verifier::Instance().Report(rule::kLockOrder, routine, name_,
                                            "taken while holding " + held->Name() +
                                                ", which was earlier taken after it");
            }
            OrderEdges().insert({held, this});
        }
    }
    Irql saved = tIrql;
    tIrql = std::max(tIrql, level_);
    mutex_.lock();
    owner_ = std::this_thread::get_id();
    savedIrql_ = saved;
    tHeld.push_back(this);
}

void SpinLock::Release(const char* routine)
{
    if (!HeldByCurrentThread()) {
        Verifier::Instance().Report(rule::kLockNotOwner, routine, name_);
        return;
    }
    tHeld.erase(std::find(tHeld.begin(), tHeld.end(), this));
    Irql saved = savedIrql_;
    owner_ = std::thread::id();
    mutex_.unlock();
    tIrql = saved;
}

bool SpinLock::HeldByCurrentThread() const
{
    return std::find(tHeld.begin(), tHeld.end(), this) != tHeld.end();
}

size_t HeldLockCount() { return tHeld.size(); }

ThreadResources& ThisThreadResources()
{
    thread_local ThreadResources resources;
    return resources;
}

CallbackFrame::CallbackFrame(const char* callback, const void* object)
    : callback_(callback), object_(object), entryIrql_(tIrql), entryLocks_(tHeld.size()),
      entryResources_(ThisThreadResources())
{
}

CallbackFrame::~CallbackFrame()
{
    if (tIrql != entryIrql_) {
        Verifier::Instance().Report(rule::kCallbackIrqlChanged, callback_, DescribeObject(object_),
                                    "entered at " + std::to_string(entryIrql_) + ", returned at " +
                                        std::to_string(tIrql));
    }
    const ThreadResources& now = ThisThreadResources();
    if (now.registryKeys > entryResources_.registryKeys) {
        Verifier::Instance().Report(rule::kRegistryKeyLeak, callback_, DescribeObject(object_),
                                    std::to_string(now.registryKeys - entryResources_.registryKeys) +
                                        " registry keys left open");
    }
    if (now.registryBuffers > entryResources_.registryBuffers) {
        Verifier::Instance().Report(rule::kPoolLeak, callback_, DescribeObject(object_),
                                    "\"REGP\" buffers not freed before the routine returned");
    }
    if (tHeld.size() != entryLocks_) {
        Verifier::Instance().Report(rule::kCallbackHeldLock, callback_, DescribeObject(object_),
                                    tHeld.empty() ? std::string() : tHeld.back()->Name());
    }
}

}  // namespace sim
