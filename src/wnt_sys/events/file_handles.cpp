// File create and close: the privileged-handle rule, the per-handle user
// mapping of the shared block and membership in FileList.
#include "events/events.h"

namespace {

BOOLEAN PrivilegedHandleListed(PDEVICE_EXTENSION DeviceExtension)
{
    PLIST_ENTRY head = &DeviceExtension->FileList;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
        if (CONTAINING_RECORD(entry, FILE_CONTEXT, Link)->Privileged)
            return TRUE;
    }
    return FALSE;
}

struct MAP_CALL {
    PMDL Mdl;
    PVOID Address;
};

VOID NTAPI MapSharedBlock(PVOID Context)
{
    MAP_CALL* call = (MAP_CALL*)Context;
    call->Address = MmMapLockedPagesSpecifyCache(call->Mdl, UserMode, MmCached, nullptr, FALSE,
                                                 NormalPagePriority);
}

VOID Unlist(PDEVICE_EXTENSION DeviceExtension, PFILE_CONTEXT File)
{
    WdfObjectAcquireLock((WDFOBJECT)DeviceExtension->Device);
    RemoveEntryList(&File->Link);
    WdfObjectReleaseLock((WDFOBJECT)DeviceExtension->Device);
}

}  // namespace

VOID NTAPI EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(Device);
    PFILE_CONTEXT file = GetFileContext(FileObject);

    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    ACCESS_MASK access = parameters.Parameters.Create.SecurityContext->DesiredAccess;
    BOOLEAN privileged = (access & FILE_WRITE_ATTRIBUTES) ? TRUE : FALSE;

    // The privileged check and the append are one step under the device
    // lock, so two privileged opens never both succeed.
    WdfObjectAcquireLock((WDFOBJECT)Device);
    if (privileged && PrivilegedHandleListed(extension)) {
        WdfObjectReleaseLock((WDFOBJECT)Device);
        WdfRequestComplete(Request, ERR_PRIVILEGE_IN_USE);
        return;
    }
    file->Privileged = privileged;
    InsertTailList(&extension->FileList, &file->Link);
    WdfObjectReleaseLock((WDFOBJECT)Device);

    MAP_CALL call = {extension->SharedMdl, nullptr};
    if (KeCallGuarded(MapSharedBlock, &call, nullptr)) {
        Unlist(extension, file);
        file->Privileged = FALSE;
        WdfRequestComplete(Request, ERR_NO_MEMORY);
        return;
    }
    file->UserAddress = call.Address;
    if (file->UserAddress) {
        file->Opener = PsGetCurrentProcess();
        ObReferenceObject(file->Opener);
    }
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VOID NTAPI EvtFileClose(WDFFILEOBJECT FileObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(WdfFileObjectGetDevice(FileObject));
    PFILE_CONTEXT file = GetFileContext(FileObject);

    // Disarm every channel and clear what is latched. The registers are
    // only there while the interrupt is connected.
    if (file->Privileged && ReadULongNoFence(&extension->InterruptConnected)) {
        WdfInterruptAcquireLock(extension->InterruptObject);
        WriteBoardRegister(&extension->Ports, BOARD_REG_INT_ENABLE, 0);
        WriteBoardRegister(&extension->Ports, BOARD_REG_INT_STATUS, BOARD_CHANNEL_MASK);
        WdfInterruptReleaseLock(extension->InterruptObject);
    }

    Unlist(extension, file);

    for (ULONG slot = 0; slot < MDX_EVENT_SLOTS; ++slot) {
        if (file->Events[slot]) {
            ObDereferenceObject(file->Events[slot]);
            file->Events[slot] = nullptr;
        }
    }

    // The last reference may go in another process than the opener's; the
    // mapping is undone in the opener's address space.
    if (file->UserAddress) {
        BOOLEAN attach = PsGetCurrentProcess() != file->Opener;
        KAPC_STATE state;
        if (attach)
            KeStackAttachProcess(file->Opener, &state);
        MmUnmapLockedPages(file->UserAddress, extension->SharedMdl);
        if (attach)
            KeUnstackDetachProcess(&state);
        file->UserAddress = nullptr;
        ObDereferenceObject(file->Opener);
        file->Opener = nullptr;
    }
}
