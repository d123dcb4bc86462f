#include "kernel/event.h"

#include <map>
#include <memory>

#include "kernel/irql.h"
#include "verifier/verifier.h"

namespace sim {

KEvent::KEvent(EVENT_TYPE type, bool signalled, bool counted)
    : KObject(EventObjectType(), counted), type_(type), signalled_(signalled)
{
}

KEvent::KEvent(POBJECT_TYPE objectType, EVENT_TYPE type, bool signalled)
    : KObject(objectType), type_(type), signalled_(signalled)
{
}

LONG KEvent::Set()
{
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = signalled_;
        signalled_ = true;
        ++sets_;
    }
    cv_.notify_all();
    return previous;
}

LONG KEvent::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    LONG previous = signalled_;
    signalled_ = false;
    return previous;
}

bool KEvent::Signalled() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

uint64_t KEvent::SetCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sets_;
}

bool KEvent::Wait(std::chrono::nanoseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return signalled_; };
    if (timeout.count() < 0)
        cv_.wait(lock, ready);
    else if (!cv_.wait_for(lock, timeout, ready))
        return false;
    if (type_ == SynchronizationEvent)
        signalled_ = false;
    return true;
}

KEvent* KEvent::FromPointer(PVOID object)
{
    return static_cast<KEvent*>(static_cast<KObject*>(object));
}

}  // namespace sim

using namespace sim;

LONG NTAPI KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait)
{
    CheckIrql("KeSetEvent", kDispatch, Event);
    return KEvent::FromPointer(Event)->Set();
}

LONG NTAPI KeResetEvent(PKEVENT Event)
{
    CheckIrql("KeResetEvent", kDispatch, Event);
    return KEvent::FromPointer(Event)->Reset();
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    // The handle belongs to the current process and is looked up there.
    CheckIrql("ObReferenceObjectByHandle", kApc, Handle);
    *Object = nullptr;
    HandleEntry entry;
    if (!Process::Current()->ReferenceHandle(Handle, &entry))
        return STATUS_INVALID_HANDLE;
    if (ObjectType && entry.object->type() != ObjectType) {
        entry.object->Dereference();
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode && (DesiredAccess & ~entry.granted) != 0) {
        entry.object->Dereference();
        return STATUS_ACCESS_DENIED;
    }
    *Object = entry.object;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = entry.granted;
    }
    return STATUS_SUCCESS;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object)
{
    CheckIrql("ObfDereferenceObject", kDispatch, Object);
    static_cast<KObject*>(Object)->Dereference();
    return 0;
}

// ---- events a caller keeps on its stack --------------------------------------------

namespace sim {
namespace {

// Stack events are known by the address of their storage.
struct StackEvents {
    std::mutex mutex;
    std::map<const void*, std::shared_ptr<KEvent>> events;
};
StackEvents& TheStackEvents()
{
    static auto* events = new StackEvents();
    return *events;
}

}  // namespace

std::shared_ptr<KEvent> StackEvent(const void* storage)
{
    auto& stack = TheStackEvents();
    std::lock_guard<std::mutex> lock(stack.mutex);
    auto it = stack.events.find(storage);
    return it == stack.events.end() ? nullptr : it->second;
}

}  // namespace sim

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    auto& stack = sim::TheStackEvents();
    auto event = std::shared_ptr<KEvent>(new KEvent(Type, State != FALSE, false),
                                         [](KEvent* e) { e->Dereference(); });
    std::lock_guard<std::mutex> lock(stack.mutex);
    stack.events[Event] = std::move(event);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    // Waiting is allowed at dispatch level only with a zero time-out.
    bool zero = Timeout && Timeout->QuadPart == 0;
    if (!zero && CurrentIrql() >= kDispatch) {
        Verifier::Instance().Report(rule::kBlockingWaitAtDispatch, "KeWaitForSingleObject",
                                    DescribeObject(Object));
        return STATUS_TIMEOUT;
    }
    std::shared_ptr<KEvent> stackEvent = StackEvent(Object);
    KEvent* event = stackEvent ? stackEvent.get() : KEvent::FromPointer(Object);
    std::chrono::nanoseconds wait(-1);
    if (Timeout) {
        // Relative time-outs are negative, in 100 ns units.
        LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : 0;
        wait = std::chrono::nanoseconds(ticks * 100);
    }
    return event->Wait(wait) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}
