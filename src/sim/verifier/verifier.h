// The verifier: the simulated platform's checks on the driver. A violation
// stops the machine with the rule's name, the routine and the object, like a
// bug check; a test can capture violations instead, to prove a rule fires.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Rule names, as they appear in reports.
namespace rule {
inline constexpr const char* kIrqlTooHigh = "IRQL_TOO_HIGH";
inline constexpr const char* kPagedCodeAtDispatch = "PAGED_CODE_ABOVE_APC";
inline constexpr const char* kCallbackIrqlChanged = "CALLBACK_RETURNED_AT_OTHER_IRQL";
inline constexpr const char* kCallbackHeldLock = "CALLBACK_RETURNED_HOLDING_LOCK";
inline constexpr const char* kLockRecursion = "SPINLOCK_RECURSIVE_ACQUIRE";
inline constexpr const char* kLockNotOwner = "SPINLOCK_RELEASED_BY_NON_OWNER";
inline constexpr const char* kLockOrder = "LOCK_ORDER_INVERSION";
inline constexpr const char* kBlockingWaitAtDispatch = "BLOCKING_WAIT_AT_DISPATCH";
inline constexpr const char* kRequestCompletedTwice = "REQUEST_COMPLETED_TWICE";
inline constexpr const char* kRequestUsedAfterCompletion = "REQUEST_USED_AFTER_COMPLETION";
inline constexpr const char* kRequestInformationTooLarge = "REQUEST_INFORMATION_EXCEEDS_OUTPUT";
inline constexpr const char* kRequestNotCompleted = "REQUEST_LEFT_OPEN";
inline constexpr const char* kBufferOverrun = "SYSTEM_BUFFER_OVERRUN";
inline constexpr const char* kStaleOutput = "STALE_OUTPUT_REPORTED";
inline constexpr const char* kInvalidHandle = "INVALID_OBJECT_HANDLE";
inline constexpr const char* kObjectLeak = "FRAMEWORK_OBJECT_LEAK";
inline constexpr const char* kPoolLeak = "POOL_LEAK";
inline constexpr const char* kPoolFreeMismatch = "POOL_FREE_BAD_TAG_OR_ADDRESS";
inline constexpr const char* kPortOutOfRange = "PORT_OUTSIDE_ASSIGNED_RANGE";
inline constexpr const char* kWrongContextType = "CONTEXT_TYPE_NOT_ATTACHED";
inline constexpr const char* kUserMappingLeak = "USER_MAPPING_LEFT_IN_PROCESS";
inline constexpr const char* kUnmapWrongProcess = "USER_MAPPING_UNMAPPED_IN_OTHER_PROCESS";
inline constexpr const char* kIsolation = "USER_MAPPING_EXPOSES_UNSHARED_PAGES";
inline constexpr const char* kMdlLeak = "MDL_LEAK";
inline constexpr const char* kReferenceLeak = "OBJECT_REFERENCE_LEAK";
inline constexpr const char* kRegistryKeyLeak = "REGISTRY_KEY_LEFT_OPEN";
inline constexpr const char* kWorkItemLeak = "WORK_ITEM_NOT_DELETED";
inline constexpr const char* kInterruptLockNotConnected = "INTERRUPT_LOCK_WHILE_DISCONNECTED";
inline constexpr const char* kRegistryDirectOverrun = "REGISTRY_DIRECT_QUERY_OVERRUNS_TARGET";
}  // namespace rule

struct Violation {
    std::string rule;
    std::string routine;
    std::string object;
    std::string detail;
};

class Verifier {
public:
    static Verifier& Instance();

    // Reports a violation: recorded, and the machine stopped unless captured.
    void Report(const char* ruleName, const std::string& routine, const std::string& object,
                const std::string& detail = {});

    std::vector<Violation> Violations() const;
    void ClearViolations();
    size_t CountOf(const char* ruleName) const;

    // While a capture is active, violations are only recorded; otherwise the
    // stop handler runs (by default it prints the report and aborts).
    void BeginCapture();
    void EndCapture();
    void SetStopHandler(std::function<void(const Violation&)> handler);

    // Fault injection: the Nth call (1-based) of the named operation fails,
    // or raises for operations that raise. Counting starts when armed.
    enum class FaultKind { None, Fail, Raise };
    void ArmFault(const std::string& operation, uint64_t nth, FaultKind kind = FaultKind::Fail);
    void DisarmFaults();
    // Called once by each call of a fallible operation: what it must do.
    FaultKind Inject(const char* operation);
    // For operations that can only fail: true when this call must.
    bool ShouldFail(const char* operation) { return Inject(operation) != FaultKind::None; }
    // How many times a fallible operation has been reached since arming.
    uint64_t CallsSeen(const std::string& operation) const;

private:
    Verifier() = default;
    struct Fault {
        uint64_t nth;
        FaultKind kind;
    };
    mutable std::mutex mutex_;
    std::vector<Violation> violations_;
    int captureDepth_ = 0;
    std::function<void(const Violation&)> stop_;
    std::map<std::string, Fault> faults_;
    std::map<std::string, uint64_t> calls_;
};

// Records violations for its lifetime instead of stopping the machine.
class ViolationCapture {
public:
    ViolationCapture() { Verifier::Instance().BeginCapture(); }
    ~ViolationCapture() { Verifier::Instance().EndCapture(); }
    ViolationCapture(const ViolationCapture&) = delete;
    ViolationCapture& operator=(const ViolationCapture&) = delete;
};

std::string DescribeObject(const void* object);

}  // namespace sim
