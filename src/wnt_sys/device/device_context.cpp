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
    DeviceExtension->Shared = (SHARED_BLOCK*)page;
    return STATUS_SUCCESS;
}

VOID FreeSharedBlock(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    if (DeviceExtension->Shared) {
        ExFreePoolWithTag(DeviceExtension->Shared, MDX_POOL_TAG_SHARED);
        DeviceExtension->Shared = nullptr;
    }
}
