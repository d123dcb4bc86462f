// The requests that need no board access: the caller's address of the shared
// block, the zero-status answer and the privileged-handle probe.
#include "control/control.h"

NTSTATUS HandleGetSharedAddress(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                PULONG ByteCount)
{
    PFILE_CONTEXT file = GetFileContext(WdfRequestGetFileObject(Request));
    if (OutputLength < sizeof(ULONG))
        return ERR_BUFFER_TOO_SMALL;
    PVOID output;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, OutputLength, &output, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    // User mappings lie below 4 GiB, so the 32-bit address is exact.
    ULONG address = (ULONG)(ULONG_PTR)file->UserAddress;
    RtlCopyMemory(output, &address, sizeof address);
    *ByteCount = sizeof address;
    return STATUS_SUCCESS;
}

NTSTATUS HandleQueryZeroStatus(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                               ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                               PULONG ByteCount)
{
    PVOID input;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 4, &input, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PVOID output;
    status = WdfRequestRetrieveOutputBuffer(Request, 8, &output, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(output, 8);
    *ByteCount = 8;
    return STATUS_SUCCESS;
}

NTSTATUS HandlePrivilegedAccept(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                PULONG ByteCount)
{
    PFILE_CONTEXT file = GetFileContext(WdfRequestGetFileObject(Request));
    if (!file->Privileged)
        return STATUS_ACCESS_DENIED;
    PVOID input;
    return WdfRequestRetrieveInputBuffer(Request, 12, &input, nullptr);
}
