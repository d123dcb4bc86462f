#include "kernel/event.h"

#include "kernel/irql.h"
#include "verifier/verifier.h"

namespace sim {

KEvent::KEvent(EVENT_TYPE type, bool signalled)
    : KObject(EventObjectType()), type_(type), signalled_(signalled)
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
