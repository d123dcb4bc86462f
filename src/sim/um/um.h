// The user-mode surface of the simulated platform: the calls an application
// makes. Each runs for the simulated process that the calling thread belongs
// to. This header depends on nothing of the simulation.
#pragma once

#include <stdint.h>

namespace um {

using NTSTATUS = int32_t;
using HANDLE = void*;

inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kFileReadData = 0x0001u;
inline constexpr uint32_t kFileWriteData = 0x0002u;
inline constexpr uint32_t kFileWriteAttributes = 0x0100u;
inline constexpr uint32_t kSynchronize = 0x00100000u;

// Opens a device by its user-mode path ("\\.\name") or kernel path.
NTSTATUS CreateFile(const char16_t* path, uint32_t desiredAccess, HANDLE* handle);

// The native device-control call: the request's status and the byte count.
NTSTATUS DeviceIoControl(HANDLE handle, uint32_t ioControlCode, const void* input,
                         uint32_t inputLength, void* output, uint32_t outputLength,
                         uint32_t* bytesReturned);

NTSTATUS CloseHandle(HANDLE handle);

}  // namespace um
