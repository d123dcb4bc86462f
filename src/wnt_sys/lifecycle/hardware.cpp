// Hardware preparation and release: the port range and interrupt line from
// the resources, the BoardID, the board number, the board table, and the
// registry record and map entry.
#include "lifecycle/lifecycle.h"
#include "registry/registry.h"

NTSTATUS FindPortResource(PDEVICE_EXTENSION DeviceExtension, WDFCMRESLIST ResourcesTranslated)
{
    PAGED_CODE();
    for (ULONG i = 0; i < WdfCmResourceListGetCount(ResourcesTranslated); ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = WdfCmResourceListGetDescriptor(ResourcesTranslated, i);
        if (!descriptor)
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (descriptor->Type == CmResourceTypePort) {
            DeviceExtension->Ports.Base = descriptor->u.Port.Start.u.LowPart;
            DeviceExtension->Ports.Length = descriptor->u.Port.Length;
        }
    }
    return STATUS_SUCCESS;
}

ULONG FindInterruptResource(WDFCMRESLIST ResourcesRaw)
{
    PAGED_CODE();
    for (ULONG i = 0; i < WdfCmResourceListGetCount(ResourcesRaw); ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = WdfCmResourceListGetDescriptor(ResourcesRaw, i);
        if (!descriptor)
            break;
        if (descriptor->Type == CmResourceTypeInterrupt)
            return descriptor->u.Interrupt.Level;
    }
    return 0xFFFFFFFF;
}

namespace {

// Finds the board's number again or gives it a new one, enters it in the
// board table and writes or reads back its record. Runs under the board
// number lock, so two boards never receive one new number.
NTSTATUS AssignBoard(PDEVICE_EXTENSION DeviceExtension)
{
    SHARED_BLOCK* shared = DeviceExtension->Shared;
    const BOARD_IDENTITY& id = DeviceExtension->Identity;
    // The number is worked out in private and only then published.
    ULONG number;
    NTSTATUS status = id.BoardID
        ? FindBoardById(ServiceKeyPath, id.ProductID, id.BoardID, &number)
        : FindBoardByLocation(ServiceKeyPath, id.ProductID, id.BusNumber, id.SlotNumber, &number);
    WriteULongNoFence(&shared->BoardNumber, number);
    if (!NT_SUCCESS(status) && status != STATUS_NO_MORE_ENTRIES)
        return status;
    BOOLEAN isNew = FALSE;
    if (number == MDX_NO_BOARD_NUMBER) {
        isNew = TRUE;
        status = AllocateBoardNumber(&number);
        WriteULongNoFence(&shared->BoardNumber, number);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (id.BoardID) {
        status = BoardTableAdd(id.ProductID, id.BoardID, number);
        if (!NT_SUCCESS(status))
            return status;
    }
    WriteULongNoFence(&shared->InitOnLoad, 1);
    for (ULONG channel = 0; channel < MDX_INT_CHANNELS; ++channel)
        WriteUCharNoFence(&shared->DiintTrigEdge[channel], 1);
    if (isNew) {
        WriteDeviceRecord(number, DeviceExtension);
    } else {
        ReadUserSettings(number, DeviceExtension);
        WriteIdentityValues(number, DeviceExtension);
    }
    DeviceExtension->BoardNumber = number;
    DeviceExtension->Prepared = 1;
    WriteMapEntry(number, DeviceExtension->Device, &DeviceInterfaceGuid);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI PrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(Device);
    if (extension->Prepared)
        return STATUS_SUCCESS;
    SHARED_BLOCK* shared = extension->Shared;

    BOARD_PORT_RANGE previous = extension->Ports;
    extension->Ports.Length = 0;
    NTSTATUS status = FindPortResource(extension, ResourcesTranslated);
    // Without a port range that covers the registers there is no board to
    // talk to.
    if (NT_SUCCESS(status) && extension->Ports.Length < BOARD_REGS_SPAN)
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (!NT_SUCCESS(status)) {
        extension->Ports = previous;
        return status;
    }
    BOARD_IDENTITY& id = extension->Identity;
    id.BaseAddress = extension->Ports.Base;
    WriteULongNoFence(&shared->BaseAddress, extension->Ports.Base);
    WriteULongNoFence(&shared->PortLength, extension->Ports.Length);

    id.InterruptLevel = FindInterruptResource(ResourcesRaw);
    WriteULongNoFence(&shared->InterruptLevel, id.InterruptLevel);
    if (id.InterruptLevel == 0xFFFFFFFF)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    id.BoardID = ReadBoardRegister(&extension->Ports, BOARD_REG_BOARD_ID) & BOARD_BOARD_ID_MASK;
    WriteULongNoFence(&shared->BoardID, id.BoardID);

    WdfWaitLockAcquire(BoardNumberLock, nullptr);
    status = AssignBoard(extension);
    WdfWaitLockRelease(BoardNumberLock);
    return status;
}

NTSTATUS NTAPI ReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(Device);
    if (extension->Prepared) {
        // The key entered at preparation, not what the block says now.
        if (extension->Identity.BoardID)
            BoardTableRemove(extension->Identity.ProductID, extension->Identity.BoardID);
        extension->Prepared = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}
