// Registration and unregistration of a handle's event slots.
#include "control/control.h"
#include "events/events.h"

WDF_DEFINE_CONTEXT_TYPE(REGISTRATION_CONTEXT);

namespace {

VOID ReleaseEvent(PKEVENT* Slot)
{
    if (*Slot) {
        ObDereferenceObject(*Slot);
        *Slot = nullptr;
    }
}

// Works out, entry by entry in input order, what the registration does to
// each slot: the entries naming no slot are skipped, a later entry for a slot
// replaces an earlier one, and the first handle that cannot be referenced
// empties its slot and ends the walk with its status.
VOID ResolveRegistration(WDFREQUEST Request, ULONG InputLength, PREGISTRATION_CONTEXT Registration)
{
    PVOID input;
    Registration->Resolved = TRUE;
    Registration->Status = WdfRequestRetrieveInputBuffer(Request, InputLength, &input, nullptr);
    if (!NT_SUCCESS(Registration->Status))
        return;
    KPROCESSOR_MODE mode = WdfRequestGetRequestorMode(Request);
    ULONG entries = InputLength / sizeof(EVENT_REG_ENTRY);
    for (ULONG i = 0; i < entries; ++i) {
        EVENT_REG_ENTRY entry;
        RtlCopyMemory(&entry, (const UCHAR*)input + i * sizeof entry, sizeof entry);
        ULONG slot = EventTypeToSlot(entry.EventType);
        if (slot >= MDX_EVENT_SLOTS)
            continue;
        ReleaseEvent(&Registration->Events[slot]);
        PVOID event;
        NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)entry.EventHandle, SYNCHRONIZE,
                                                    *ExEventObjectType, mode, &event, nullptr);
        if (!NT_SUCCESS(status)) {
            Registration->Change[slot] = SlotEmpty;
            Registration->Status = status;
            return;
        }
        Registration->Events[slot] = (PKEVENT)event;
        Registration->Change[slot] = SlotRegister;
    }
}

}  // namespace

VOID NTAPI EvtIoInCallerContext(WDFDEVICE Device, WDFREQUEST Request)
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    if (parameters.Type == WdfRequestTypeDeviceControl &&
        parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_REGISTER_EVENTS) {
        ResolveRegistration(Request, (ULONG)parameters.Parameters.DeviceIoControl.InputBufferLength,
                            GetRegistrationContext(Request));
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status))
        WdfRequestComplete(Request, status);
}

VOID NTAPI EvtRequestCleanup(WDFOBJECT Request)
{
    // References resolved for a registration that never reached its handler.
    PREGISTRATION_CONTEXT registration = GetRegistrationContext(Request);
    for (ULONG slot = 0; slot < MDX_EVENT_SLOTS; ++slot)
        ReleaseEvent(&registration->Events[slot]);
}

NTSTATUS HandleRegisterEvents(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                              ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                              PULONG ByteCount)
{
    PREGISTRATION_CONTEXT registration = GetRegistrationContext(Request);
    if (!registration->Resolved)
        return STATUS_INVALID_DEVICE_REQUEST;
    PFILE_CONTEXT file = GetFileContext(WdfRequestGetFileObject(Request));
    for (ULONG slot = 0; slot < MDX_EVENT_SLOTS; ++slot) {
        if (registration->Change[slot] == SlotUnchanged)
            continue;
        ReleaseEvent(&file->Events[slot]);
        file->Events[slot] = registration->Events[slot];
        registration->Events[slot] = nullptr;
    }
    return registration->Status;
}

NTSTATUS HandleUnregisterEvents(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                PULONG ByteCount)
{
    PFILE_CONTEXT file = GetFileContext(WdfRequestGetFileObject(Request));
    if (InputLength == 0) {
        for (ULONG slot = 0; slot < MDX_EVENT_SLOTS; ++slot)
            ReleaseEvent(&file->Events[slot]);
        return STATUS_SUCCESS;
    }
    PVOID input;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, InputLength, &input, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ULONG entries = InputLength / sizeof(EVENT_REG_ENTRY);
    for (ULONG i = 0; i < entries; ++i) {
        EVENT_REG_ENTRY entry;
        RtlCopyMemory(&entry, (const UCHAR*)input + i * sizeof entry, sizeof entry);
        ULONG slot = EventTypeToSlot(entry.EventType);
        if (slot < MDX_EVENT_SLOTS)
            ReleaseEvent(&file->Events[slot]);
    }
    return STATUS_SUCCESS;
}
