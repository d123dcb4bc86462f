#include "wdf/objects.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "verifier/verifier.h"

namespace sim::wdf {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const Object*, Kind> live;
    // Freed objects' storage held back from reuse, so stale handles stay stale.
    std::deque<void*> quarantine;
};

Registry& Objects()
{
    static auto* registry = new Registry();
    return *registry;
}

constexpr size_t kQuarantine = 4096;

}  // namespace

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Driver: return "WDFDRIVER";
    case Kind::Device: return "WDFDEVICE";
    case Kind::Queue: return "WDFQUEUE";
    case Kind::Request: return "WDFREQUEST";
    case Kind::FileObject: return "WDFFILEOBJECT";
    case Kind::Interrupt: return "WDFINTERRUPT";
    case Kind::WorkItem: return "WDFWORKITEM";
    case Kind::SpinLock: return "WDFSPINLOCK";
    case Kind::Key: return "WDFKEY";
    case Kind::String: return "WDFSTRING";
    case Kind::ResourceList: return "WDFCMRESLIST";
    }
    return "WDFOBJECT";
}

Object::Object(Kind kind, Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes)
    : kind_(kind), parent_(parent)
{
    if (attributes) {
        cleanup_ = attributes->EvtCleanupCallback;
        destroy_ = attributes->EvtDestroyCallback;
        executionLevel_ = attributes->ExecutionLevel;
        synchronizationScope_ = attributes->SynchronizationScope;
        if (attributes->ContextTypeInfo) {
            contextType_ = attributes->ContextTypeInfo->UniqueType;
            size_t size = attributes->ContextSizeOverride ? attributes->ContextSizeOverride
                                                          : attributes->ContextTypeInfo->ContextSize;
            context_ = std::aligned_alloc(16, (size + 15) / 16 * 16);
            std::memset(context_, 0, (size + 15) / 16 * 16);
        }
    }
    if (parent_) {
        std::lock_guard<std::mutex> lock(parent_->childrenMutex_);
        parent_->children_.push_back(this);
    }
    auto& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live[this] = kind;
}

Object::~Object() { std::free(context_); }

void Object::Delete(Object* object)
{
    if (!object || object->deleted_)
        return;
    object->deleted_ = true;
    for (;;) {
        Object* child;
        {
            std::lock_guard<std::mutex> lock(object->childrenMutex_);
            if (object->children_.empty())
                break;
            child = object->children_.back();
        }
        Delete(child);
    }
    object->OnDelete();
    if (object->cleanup_)
        object->cleanup_(object->handle());
    if (object->destroy_)
        object->destroy_(object->handle());
    if (object->parent_) {
        std::lock_guard<std::mutex> lock(object->parent_->childrenMutex_);
        auto& siblings = object->parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
    }
    auto& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.erase(object);
    // Destroy now but keep the storage out of reuse for a while.
    object->~Object();
    registry.quarantine.push_back(object);
    if (registry.quarantine.size() > kQuarantine) {
        ::operator delete(registry.quarantine.front());
        registry.quarantine.pop_front();
    }
}

Object* Resolve(const void* handle, Kind kind, const char* routine)
{
    auto& registry = Objects();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.live.find(static_cast<const Object*>(handle));
        if (it != registry.live.end() && it->second == kind)
            return const_cast<Object*>(it->first);
    }
    Verifier::Instance().Report(rule::kInvalidHandle, routine, DescribeObject(handle),
                                std::string("not a live ") + KindName(kind));
    return nullptr;
}

Object* Find(const void* handle, Kind kind)
{
    auto& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.live.find(static_cast<const Object*>(handle));
    return it != registry.live.end() && it->second == kind ? const_cast<Object*>(it->first)
                                                           : nullptr;
}

Object* ResolveAny(const void* handle, const char* routine)
{
    auto& registry = Objects();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.live.find(static_cast<const Object*>(handle));
        if (it != registry.live.end())
            return const_cast<Object*>(it->first);
    }
    Verifier::Instance().Report(rule::kInvalidHandle, routine, DescribeObject(handle),
                                "not a live framework object");
    return nullptr;
}

size_t LiveObjectCount(Kind kind)
{
    auto& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return std::count_if(registry.live.begin(), registry.live.end(),
                         [kind](const auto& entry) { return entry.second == kind; });
}

size_t LiveObjectCount()
{
    auto& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.live.size();
}

bool CheckAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine)
{
    if (!attributes)
        return true;
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        Verifier::Instance().Report(rule::kInvalidHandle, routine, DescribeObject(attributes),
                                    "WDF_OBJECT_ATTRIBUTES of a wrong size");
        return false;
    }
    return true;
}

}  // namespace sim::wdf
