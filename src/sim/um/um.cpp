#include "um/um.h"

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>

#include "io/io_manager.h"
#include "kernel/event.h"
#include "um/user_threads.h"

namespace um {

NTSTATUS CreateFile(const char16_t* path, uint32_t desiredAccess, HANDLE* handle)
{
    if (!path || !handle)
        return STATUS_INVALID_PARAMETER;
    return sim::IoOpenFile(sim::KernelPathFromUserPath(path), desiredAccess, handle);
}

NTSTATUS DeviceIoControl(HANDLE handle, uint32_t ioControlCode, const void* input,
                         uint32_t inputLength, void* output, uint32_t outputLength,
                         uint32_t* bytesReturned)
{
    sim::IoControlResult result =
        sim::IoDeviceControl(handle, ioControlCode, input, inputLength, output, outputLength);
    if (bytesReturned)
        *bytesReturned = result.information;
    return result.status;
}

NTSTATUS CloseHandle(HANDLE handle) { return sim::IoCloseHandle(handle); }

NTSTATUS GetDeviceInterfaces(const uint8_t classGuid[16], char16_t* buffer, uint32_t capacity,
                             uint32_t* needed)
{
    if (!classGuid || !needed)
        return STATUS_INVALID_PARAMETER;
    GUID guid;
    std::memcpy(&guid, classGuid, sizeof guid);
    std::u16string run;
    for (const std::u16string& link : sim::ObjectNamespace::Instance().InterfaceLinks(guid)) {
        // "\??\rest" in the kernel is "\\?\rest" for user mode.
        run += u"\\\\?\\" + link.substr(4);
        run.push_back(0);
    }
    run.push_back(0);
    *needed = static_cast<uint32_t>(run.size());
    if (!buffer || capacity < run.size())
        return kBufferTooSmall;
    std::memcpy(buffer, run.data(), run.size() * sizeof(char16_t));
    return STATUS_SUCCESS;
}

NTSTATUS CreateEventWithAccess(bool manualReset, bool initialState, uint32_t access, HANDLE* handle)
{
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    auto* event = new sim::KEvent(manualReset ? NotificationEvent : SynchronizationEvent, initialState);
    *handle = sim::Process::Current()->InsertHandle(event, access);
    return STATUS_SUCCESS;
}

NTSTATUS CreateEvent(bool manualReset, bool initialState, HANDLE* handle)
{
    return CreateEventWithAccess(manualReset, initialState, kEventAllAccess, handle);
}

namespace {

_OBJECT_TYPE gThreadType{"Thread"};

// A thread of a simulated process: its handle is signalled when it ends.
class Thread : public sim::KEvent {
public:
    Thread() : KEvent(&gThreadType, NotificationEvent, false) {}
};

bool Waitable(POBJECT_TYPE type) { return type == sim::EventObjectType() || type == &gThreadType; }

// Finds the event a handle names, with the access the call needs; waits
// also accept a thread.
NTSTATUS ReferenceEvent(HANDLE handle, uint32_t access, sim::KEvent** event, bool forWait = false)
{
    sim::HandleEntry entry;
    if (!sim::Process::Current()->ReferenceHandle(handle, &entry))
        return STATUS_INVALID_HANDLE;
    if (forWait ? !Waitable(entry.object->type()) : entry.object->type() != sim::EventObjectType()) {
        entry.object->Dereference();
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((entry.granted & access) != access) {
        entry.object->Dereference();
        return STATUS_ACCESS_DENIED;
    }
    *event = static_cast<sim::KEvent*>(entry.object);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SetEvent(HANDLE handle)
{
    sim::KEvent* event;
    NTSTATUS status = ReferenceEvent(handle, kEventModifyState, &event);
    if (status >= 0) {
        event->Set();
        event->Dereference();
    }
    return status;
}

NTSTATUS ResetEvent(HANDLE handle)
{
    sim::KEvent* event;
    NTSTATUS status = ReferenceEvent(handle, kEventModifyState, &event);
    if (status >= 0) {
        event->Reset();
        event->Dereference();
    }
    return status;
}

}  // namespace um

namespace sim {
namespace {
std::mutex gThreadsMutex;
std::condition_variable gThreadsDone;
size_t gThreads = 0;
}  // namespace

void WaitForUserThreads()
{
    std::unique_lock<std::mutex> lock(gThreadsMutex);
    gThreadsDone.wait_for(lock, std::chrono::seconds(5), [] { return gThreads == 0; });
}
}  // namespace sim

namespace um {

NTSTATUS CreateThread(void (*start)(void* argument), void* argument, HANDLE* thread)
{
    if (!start || !thread)
        return STATUS_INVALID_PARAMETER;
    sim::Process* process = sim::Process::Current();
    auto* object = new Thread();
    object->Reference();  // the running thread's own
    *thread = process->InsertHandle(object, kEventAllAccess | kSynchronize);
    // The process is referenced for as long as its thread runs.
    process->Reference();
    {
        std::lock_guard<std::mutex> lock(sim::gThreadsMutex);
        ++sim::gThreads;
    }
    std::thread([process, object, start, argument] {
        {
            sim::ProcessScope scope(process);
            start(argument);
        }
        process->Dereference();
        object->Set();
        object->Dereference();
        std::lock_guard<std::mutex> lock(sim::gThreadsMutex);
        if (--sim::gThreads == 0)
            sim::gThreadsDone.notify_all();
    }).detach();
    return STATUS_SUCCESS;
}

uint32_t WaitForSingleObject(HANDLE handle, uint32_t milliseconds)
{
    sim::KEvent* event;
    NTSTATUS status = ReferenceEvent(handle, kSynchronize, &event, true);
    if (status < 0)
        return static_cast<uint32_t>(status);
    auto timeout = milliseconds == kInfinite
                       ? std::chrono::nanoseconds(-1)
                       : std::chrono::nanoseconds(std::chrono::milliseconds(milliseconds));
    bool signalled = event->Wait(timeout);
    event->Dereference();
    return signalled ? kWaitObject0 : kWaitTimeout;
}

}  // namespace um
