// The requests that need passive level: values of the board's device key and
// the device's location. DeviceControl hands them here under the device
// lock; a work item runs them and completes them.
#include "control/control.h"
#include "registry/registry.h"

namespace {

DEFERRED_HANDLER ReadDeviceValue;
DEFERRED_HANDLER WriteDeviceValue;
DEFERRED_HANDLER GetLocationInfo;
EVT_WDF_WORKITEM DeferredWorkRoutine;

struct DEFERRED_ROUTE {
    ULONG Code;
    PDEFERRED_HANDLER Handler;
};

const DEFERRED_ROUTE DeferredRoutes[] = {
    {IOCTL_READ_DEVICE_VALUE, ReadDeviceValue},
    {IOCTL_WRITE_DEVICE_VALUE, WriteDeviceValue},
    {IOCTL_GET_LOCATION, GetLocationInfo},
};

NTSTATUS RunAtPassive(WDFDEVICE Device, PDEFERRED_HANDLER Handler, ULONG BoardNumber, WDFREQUEST Request)
{
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        Handler(Device, BoardNumber, Request);
        return STATUS_SUCCESS;
    }
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, DeferredWorkRoutine);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KLIB_WORKITEM_CTX);
    attributes.ParentObject = (WDFOBJECT)Device;
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status))
        return status;
    PKLIB_WORKITEM_CTX context = GetWorkItemContext(workItem);
    context->Routine = Handler;
    context->BoardNumberArg = BoardNumber;
    context->Request = Request;
    WdfWorkItemEnqueue(workItem);
    return STATUS_SUCCESS;
}

VOID NTAPI DeferredWorkRoutine(WDFWORKITEM WorkItem)
{
    PAGED_CODE();
    PKLIB_WORKITEM_CTX context = GetWorkItemContext(WorkItem);
    WDFDEVICE device = (WDFDEVICE)WdfWorkItemGetParentObject(WorkItem);
    context->Routine(device, context->BoardNumberArg, context->Request);
    WdfObjectDelete((WDFOBJECT)WorkItem);
}

VOID RequestLengths(WDFREQUEST Request, PULONG InputLength, PULONG OutputLength)
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    *InputLength = (ULONG)parameters.Parameters.DeviceIoControl.InputBufferLength;
    *OutputLength = (ULONG)parameters.Parameters.DeviceIoControl.OutputBufferLength;
}

// True when a NUL-terminated wide string ends within Bytes bytes of Text.
BOOLEAN TerminatedWithin(const VOID* Text, ULONG Bytes)
{
    const UCHAR* bytes = (const UCHAR*)Text;
    for (ULONG i = 0; i + 1 < Bytes; i += sizeof(WCHAR)) {
        if (bytes[i] == 0 && bytes[i + 1] == 0)
            return TRUE;
    }
    return FALSE;
}

VOID NTAPI ReadDeviceValue(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request)
{
    PAGED_CODE();
    ULONG inputLength, outputLength;
    RequestLengths(Request, &inputLength, &outputLength);
    ULONG byteCount = 0;
    NTSTATUS status;
    PVOID input, output;
    WDFKEY key;
    if (inputLength == 0 || outputLength == 0) {
        status = ERR_NULL_ARGUMENT;
    } else if (!NT_SUCCESS(status = WdfRequestRetrieveInputBuffer(Request, inputLength, &input, nullptr))) {
    } else if (!NT_SUCCESS(status = WdfRequestRetrieveOutputBuffer(Request, outputLength, &output, nullptr))) {
    } else if (!TerminatedWithin(input, inputLength)) {
        // The name must end inside the input.
        status = STATUS_INVALID_PARAMETER;
    } else if (NT_SUCCESS(status = OpenDeviceKey(FALSE, ServiceKeyPath, BoardNumber, &key))) {
        if (GuardedQueryValue(key, (PCWSTR)input, outputLength, output, &byteCount, nullptr, &status))
            status = STATUS_INVALID_PARAMETER;
        CloseKey(key);
    }
    if (!NT_SUCCESS(status))
        byteCount = 0;
    WdfRequestCompleteWithInformation(Request, status, byteCount);
}

VOID NTAPI WriteDeviceValue(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request)
{
    PAGED_CODE();
    ULONG inputLength, outputLength;
    RequestLengths(Request, &inputLength, &outputLength);
    NTSTATUS status;
    PVOID input;
    WDFKEY key;
    if (inputLength < sizeof(WRITE_DEVICE_VALUE_INPUT)) {
        status = ERR_NULL_ARGUMENT;
    } else if (!NT_SUCCESS(status = WdfRequestRetrieveInputBuffer(Request, inputLength, &input, nullptr))) {
    } else {
        const WRITE_DEVICE_VALUE_INPUT* head = (const WRITE_DEVICE_VALUE_INPUT*)input;
        ULONG type, length;
        RtlCopyMemory(&type, &head->ValueType, sizeof type);
        RtlCopyMemory(&length, &head->ValueLength, sizeof length);
        // The name ends inside its field and the data inside the input.
        if (!TerminatedWithin(head->ValueName, sizeof head->ValueName) ||
            length > inputLength - MDX_WRITE_VALUE_HEAD) {
            status = STATUS_INVALID_PARAMETER;
        } else if (NT_SUCCESS(status = OpenDeviceKey(FALSE, ServiceKeyPath, BoardNumber, &key))) {
            if (GuardedAssignValue(key, (PCWSTR)head->ValueName, type, length, (PVOID)head->ValueData, &status))
                status = STATUS_INVALID_PARAMETER;
            CloseKey(key);
        }
    }
    WdfRequestCompleteWithInformation(Request, status, 0);
}

VOID NTAPI GetLocationInfo(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request)
{
    PAGED_CODE();
    ULONG inputLength, outputLength;
    RequestLengths(Request, &inputLength, &outputLength);
    ULONG byteCount = 0;
    NTSTATUS status;
    PVOID output;
    if (outputLength == 0) {
        status = ERR_NULL_ARGUMENT;
    } else if (NT_SUCCESS(status = WdfRequestRetrieveOutputBuffer(Request, outputLength, &output, nullptr))) {
        status = WdfDeviceQueryProperty(Device, DevicePropertyLocationInformation, outputLength, output,
                                        &byteCount);
    }
    if (!NT_SUCCESS(status))
        byteCount = 0;
    WdfRequestCompleteWithInformation(Request, status, byteCount);
}

}  // namespace

VOID DispatchDeferred(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request)
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    if (parameters.Type != WdfRequestTypeDeviceControl) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    PDEFERRED_HANDLER handler = nullptr;
    for (const DEFERRED_ROUTE& route : DeferredRoutes) {
        if (route.Code == parameters.Parameters.DeviceIoControl.IoControlCode)
            handler = route.Handler;
    }
    if (!handler) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    NTSTATUS status = RunAtPassive(Device, handler, BoardNumber, Request);
    if (!NT_SUCCESS(status))
        WdfRequestComplete(Request, status);
}
