// DeviceControl: routes each control request by its code and completes it
// with the handler's status and byte count.
#include "control/control.h"
#include "events/events.h"

namespace {

enum CONTROL_ROUTE_KIND {
    RouteHandler,       // a handler of the frame, completed here
    RouteDeferred,      // needs passive level; completed by the deferred path
    RouteGeneralEvent,  // sets slot 0 of every open handle
};

struct CONTROL_ROUTE {
    ULONG Code;
    CONTROL_ROUTE_KIND Kind;
    PCONTROL_HANDLER Handler;
};

// Every code the device serves.
const CONTROL_ROUTE ControlRoutes[] = {
    {IOCTL_GET_SHARED_ADDRESS, RouteHandler, HandleGetSharedAddress},
    {IOCTL_READ_DEVICE_VALUE, RouteDeferred, nullptr},
    {IOCTL_WRITE_DEVICE_VALUE, RouteDeferred, nullptr},
    {IOCTL_READ_PORT, RouteHandler, HandleReadPort},
    {IOCTL_WRITE_PORT, RouteHandler, HandleWritePort},
    {IOCTL_REGISTER_EVENTS, RouteHandler, HandleRegisterEvents},
    {IOCTL_UNREGISTER_EVENTS, RouteHandler, HandleUnregisterEvents},
    {IOCTL_QUERY_ZERO_STATUS, RouteHandler, HandleQueryZeroStatus},
    {IOCTL_PRIVILEGED_ACCEPT, RouteHandler, HandlePrivilegedAccept},
    {IOCTL_SIGNAL_GENERAL_EVENT, RouteGeneralEvent, nullptr},
    {IOCTL_GET_LOCATION, RouteDeferred, nullptr},
    {IOCTL_SET_TRIGGER_EDGES, RouteHandler, HandleSetTriggerEdges},
    {IOCTL_READ_DI_PORTS, RouteHandler, HandleReadDiPorts},
    {IOCTL_ENABLE_DI_INTERRUPT, RouteHandler, HandleEnableDiInterrupt},
    {IOCTL_DISABLE_DI_INTERRUPT, RouteHandler, HandleDisableDiInterrupt},
};

const CONTROL_ROUTE* FindRoute(ULONG IoControlCode)
{
    for (const CONTROL_ROUTE& route : ControlRoutes) {
        if (route.Code == IoControlCode)
            return &route;
    }
    return nullptr;
}

}  // namespace

VOID NTAPI DeviceControl(WDFQUEUE Queue, WDFREQUEST Request, SIZE_T OutputBufferLength,
                         SIZE_T InputBufferLength, ULONG IoControlCode)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PDEVICE_EXTENSION extension = GetDeviceExtension(device);
    ULONG byteCount = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;

    const CONTROL_ROUTE* route = FindRoute(IoControlCode);
    if (route && route->Kind == RouteDeferred) {
        // The board number found at preparation, not the block's copy that
        // user mode can change: it names the registry key reached.
        DispatchDeferred(extension->Device, extension->BoardNumber, Request);
        return;
    }
    if (route && route->Kind == RouteGeneralEvent) {
        SignalEventSlot(extension, 0);
        status = STATUS_SUCCESS;
    } else if (route && route->Handler) {
        status = route->Handler(extension, Request, (ULONG)OutputBufferLength,
                                (ULONG)InputBufferLength, IoControlCode, &byteCount);
    }
    if (!NT_SUCCESS(status))
        byteCount = 0;
    WdfRequestCompleteWithInformation(Request, status, byteCount);
}
