// Control-request dispatch: the handler frame every directly dispatched
// handler follows, and the handlers this folder and its neighbours provide.
#pragma once

#include "device/device_context.h"

// The handler frame. A handler takes its input before it writes output (the
// two share one buffer), stores *ByteCount only on success, and returns the
// status the request completes with; it never completes the request itself.
typedef NTSTATUS CONTROL_HANDLER(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                 ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                 PULONG ByteCount);
typedef CONTROL_HANDLER* PCONTROL_HANDLER;

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL DeviceControl;

// Hands a request that needs passive level to a work item, which completes
// it; completes it here when it cannot be handed on.
VOID DispatchDeferred(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request);

// A 32-bit input field, read from the system buffer before any output is
// written over it.
inline ULONG InputULong(const VOID* Buffer, ULONG Offset)
{
    ULONG value;
    RtlCopyMemory(&value, (const UCHAR*)Buffer + Offset, sizeof value);
    return value;
}

CONTROL_HANDLER HandleGetSharedAddress;
CONTROL_HANDLER HandleQueryZeroStatus;
CONTROL_HANDLER HandlePrivilegedAccept;
CONTROL_HANDLER HandleReadPort;
CONTROL_HANDLER HandleWritePort;
CONTROL_HANDLER HandleReadDiPorts;
CONTROL_HANDLER HandleRegisterEvents;
CONTROL_HANDLER HandleUnregisterEvents;
CONTROL_HANDLER HandleSetTriggerEdges;
CONTROL_HANDLER HandleEnableDiInterrupt;
CONTROL_HANDLER HandleDisableDiInterrupt;
