#include "device/device_context.h"

WDF_DEFINE_CONTEXT_TYPE(DEVICE_EXTENSION);
WDF_DEFINE_CONTEXT_TYPE(FILE_CONTEXT);
WDF_DEFINE_CONTEXT_TYPE(KLIB_WORKITEM_CTX);

NTSTATUS CreateSharedBlock(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    PVOID page = ExAllocatePoolWithTag(NonPagedPool, SHARED_BLOCK_PAGES_BYTES, MDX_POOL_TAG_SHARED);
    if (!page)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(page, SHARED_BLOCK_PAGES_BYTES);
    PMDL mdl = IoAllocateMdl(page, sizeof(SHARED_BLOCK), FALSE, FALSE, nullptr);
    if (!mdl) {
        ExFreePoolWithTag(page, MDX_POOL_TAG_SHARED);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    DeviceExtension->Shared = (SHARED_BLOCK*)page;
    DeviceExtension->SharedMdl = mdl;
    return STATUS_SUCCESS;
}

VOID FreeSharedBlock(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    if (DeviceExtension->SharedMdl) {
        IoFreeMdl(DeviceExtension->SharedMdl);
        DeviceExtension->SharedMdl = nullptr;
    }
    if (DeviceExtension->Shared) {
        ExFreePoolWithTag(DeviceExtension->Shared, MDX_POOL_TAG_SHARED);
        DeviceExtension->Shared = nullptr;
    }
}
