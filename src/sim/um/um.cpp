#include "um/um.h"

#include <string>

#include "io/io_manager.h"

namespace um {

NTSTATUS CreateFile(const char16_t* path, uint32_t desiredAccess, HANDLE* handle)
{
    if (!path || !handle)
        return STATUS_INVALID_PARAMETER;
    return sim::IoOpenFile(sim::KernelPathFromUserPath(path), desiredAccess, handle);
}

NTSTATUS DeviceIoControl(HANDLE handle, uint32_t ioControlCode, const void* input,
                         uint32_t inputLength, void* output, uint32_t outputLength,
                         uint32_t* bytesReturned)
{
    sim::IoControlResult result =
        sim::IoDeviceControl(handle, ioControlCode, input, inputLength, output, outputLength);
    if (bytesReturned)
        *bytesReturned = result.information;
    return result.status;
}

NTSTATUS CloseHandle(HANDLE handle) { return sim::IoCloseHandle(handle); }

}  // namespace um
