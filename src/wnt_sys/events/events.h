// Open handles and their event slots.
#pragma once

#include "device/device_context.h"

// Slot numbers 0..4; (ULONG)-1 names none.
#define EVENT_SLOT_NONE 0xFFFFFFFFu

ULONG EventTypeToChannel(ULONG EventType);
ULONG EventTypeToSlot(ULONG EventType);

// Set or reset one slot on every open handle of the device. Called with the
// device's lock held.
VOID SignalEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot);
VOID ResetEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot);

// File create and close of every open handle.
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EvtFileClose;

// Event handles of a registration are resolved before the request enters the
// serialised section, in the sender's process at passive level; the handler
// then only moves the references into the slots.
typedef enum _SLOT_CHANGE { SlotUnchanged = 0, SlotRegister = 1, SlotEmpty = 2 } SLOT_CHANGE;

typedef struct _REGISTRATION_CONTEXT {
    BOOLEAN Resolved;
    NTSTATUS Status;
    UCHAR Change[MDX_EVENT_SLOTS];
    PKEVENT Events[MDX_EVENT_SLOTS];  // one reference each, until moved into a slot
} REGISTRATION_CONTEXT, *PREGISTRATION_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REGISTRATION_CONTEXT, GetRegistrationContext)

EVT_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtRequestCleanup;

// The interrupt object's callbacks.
EVT_WDF_INTERRUPT_ISR EvtInterruptIsr;
EVT_WDF_INTERRUPT_DPC EvtInterruptDpc;
EVT_WDF_INTERRUPT_ENABLE EvtInterruptEnable;
EVT_WDF_INTERRUPT_DISABLE EvtInterruptDisable;
