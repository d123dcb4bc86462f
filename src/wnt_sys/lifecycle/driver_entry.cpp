// Driver entry and device creation: the framework settings of the device, its
// context, interface, default queue, interrupt object and shared block.
#include "control/control.h"
#include "events/events.h"
#include "lifecycle/lifecycle.h"
#include "registry/registry.h"

WDFWAITLOCK BoardNumberLock;

NTSTATUS CreateBoardNumberLock()
{
    PAGED_CODE();
    return WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &BoardNumberLock);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // Driver-wide state starts empty with every load of the image.
    RtlZeroMemory(&BoardTable, sizeof BoardTable);
    BoardNumberLock = nullptr;

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateBoardTableLock();
    if (!NT_SUCCESS(status))
        return status;
    return CreateBoardNumberLock();
}

NTSTATUS NTAPI DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    PAGED_CODE();
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WdfDeviceInitSetPowerPageable(DeviceInit);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);
    WdfDeviceInitSetDeviceType(DeviceInit, MDX_DEVICE_TYPE);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, EvtFileClose, nullptr);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    // Event handles of a registration are resolved in the sender's context,
    // before the request reaches the serialised dispatcher.
    WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, EvtIoInCallerContext);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, REGISTRATION_CONTEXT);
    requestAttributes.EvtCleanupCallback = EvtRequestCleanup;
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_EXTENSION);
    deviceAttributes.EvtCleanupCallback = DeviceCleanup;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_EXTENSION extension = GetDeviceExtension(device);
    extension->Device = device;
    status = WdfDeviceCreateDeviceInterface(device, &DeviceInterfaceGuid, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return InitDeviceContext(extension);
}

NTSTATUS InitDeviceContext(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    // The block lives in pages of its own; its storage comes first so that
    // the identity can be written into it.
    NTSTATUS status = CreateSharedBlock(DeviceExtension);
    if (!NT_SUCCESS(status))
        return status;
    SHARED_BLOCK* shared = DeviceExtension->Shared;
    DeviceExtension->Prepared = 0;
    shared->Size = MDX_SHARED_SIZE;
    IdentifyProduct(DeviceExtension);
    shared->BoardNumber = MDX_NO_BOARD_NUMBER;
    DeviceExtension->BoardNumber = MDX_NO_BOARD_NUMBER;

    ULONG length;
    ULONG value = 0;
    status = WdfDeviceQueryProperty(DeviceExtension->Device, DevicePropertyBusNumber, sizeof value,
                                    &value, &length);
    if (!NT_SUCCESS(status))
        return status;
    DeviceExtension->Identity.BusNumber = value;
    shared->BusNumber = value;
    status = WdfDeviceQueryProperty(DeviceExtension->Device, DevicePropertyAddress, sizeof value,
                                    &value, &length);
    if (!NT_SUCCESS(status))
        return status;
    DeviceExtension->Identity.SlotNumber = value >> 16;
    shared->SlotNumber = value >> 16;

    InitializeListHead(&DeviceExtension->FileList);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = DeviceControl;
    status = WdfIoQueueCreate(DeviceExtension->Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return CreateInterruptObject(DeviceExtension);
}

VOID IdentifyProduct(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    PDEVICE_OBJECT physical = WdfDeviceWdmGetPhysicalDevice(DeviceExtension->Device);
    // Zeroed first: after a failed read no stale bytes pass for a device ID.
    PCI_COMMON_CONFIG config;
    RtlZeroMemory(&config, sizeof config);
    PciConfigAccess(physical, FALSE, &config, 0, sizeof config);
    if (config.DeviceID == MDX_PCI_DEVICE_ID) {
        DeviceExtension->Identity.ProductID = MDX_PRODUCT_ID;
        DeviceExtension->Shared->ProductID = MDX_PRODUCT_ID;
    }
}

NTSTATUS PciConfigAccess(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PVOID Buffer, ULONG Offset,
                         ULONG Length)
{
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
    if (!irp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = Write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG;
        stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        stack->Parameters.ReadWriteConfig.Buffer = Buffer;
        stack->Parameters.ReadWriteConfig.Offset = Offset;
        stack->Parameters.ReadWriteConfig.Length = Length;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        status = IofCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
    }
    ObDereferenceObject(top);
    return status;
}

VOID NTAPI DeviceCleanup(WDFOBJECT Device)
{
    PAGED_CODE();
    FreeSharedBlock(GetDeviceExtension(Device));
}
