#include "verifier/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

Verifier& Verifier::Instance()
{
    static Verifier* instance = new Verifier();
    return *instance;
}

void Verifier::Report(const char* ruleName, const std::string& routine, const std::string& object,
                      const std::string& detail)
{
    Violation v{ruleName, routine, object, detail};
    std::function<void(const Violation&)> stop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        violations_.push_back(v);
        if (captureDepth_ > 0)
            return;
        stop = stop_;
    }
    if (stop) {
        stop(v);
        return;
    }
    std::fprintf(stderr, "*** STOP: verifier rule %s violated in %s (object %s)%s%s\n",
                 v.rule.c_str(), v.routine.c_str(), v.object.c_str(),
                 v.detail.empty() ? "" : ": ", v.detail.c_str());
    std::abort();
}

std::vector<Violation> Verifier::Violations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

void Verifier::ClearViolations()
{
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.clear();
}

size_t Verifier::CountOf(const char* ruleName) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& v : violations_)
        n += v.rule == ruleName;
    return n;
}

void Verifier::BeginCapture()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++captureDepth_;
}

void Verifier::EndCapture()
{
    std::lock_guard<std::mutex> lock(mutex_);
    --captureDepth_;
}

void Verifier::SetStopHandler(std::function<void(const Violation&)> handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = std::move(handler);
}

void Verifier::ArmFault(const std::string& operation, uint64_t nth, FaultKind kind)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[operation] = Fault{nth, kind};
    calls_[operation] = 0;
}

void Verifier::DisarmFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    calls_.clear();
}

Verifier::FaultKind Verifier::Inject(const char* operation)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (faults_.empty())
        return FaultKind::None;
    auto it = faults_.find(operation);
    if (it == faults_.end())
        return FaultKind::None;
    uint64_t n = ++calls_[operation];
    return n == it->second.nth ? it->second.kind : FaultKind::None;
}

uint64_t Verifier::CallsSeen(const std::string& operation) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

std::string DescribeObject(const void* object)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", object);
    return text;
}

}  // namespace sim
