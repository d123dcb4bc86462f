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

// The user-mode paths ("\\?\...") of the started devices that expose an
// interface of the class `classGuid` (16 bytes, as the GUID lies in memory),
// as a run of NUL-terminated strings closed by an empty one. `needed`
// receives the characters the whole run takes; a run that does not fit in
// `capacity` characters gives kBufferTooSmall and writes nothing.
inline constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
NTSTATUS GetDeviceInterfaces(const uint8_t classGuid[16], char16_t* buffer, uint32_t capacity,
                             uint32_t* needed);

// Closes a handle of any kind.
NTSTATUS CloseHandle(HANDLE handle);

// Events. A manual-reset event stays set until reset; an auto-reset event is
// reset by the wait that it releases.
inline constexpr uint32_t kEventAllAccess = 0x001F0003u;
inline constexpr uint32_t kEventModifyState = 0x0002u;
NTSTATUS CreateEvent(bool manualReset, bool initialState, HANDLE* handle);
// As CreateEvent, with the handle granted only `access`.
NTSTATUS CreateEventWithAccess(bool manualReset, bool initialState, uint32_t access, HANDLE* handle);
NTSTATUS SetEvent(HANDLE handle);
NTSTATUS ResetEvent(HANDLE handle);

// Starts start(argument) on a new thread of the calling process. The handle
// is signalled when the thread has ended.
NTSTATUS CreateThread(void (*start)(void* argument), void* argument, HANDLE* thread);

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// Waits for an event or a thread: kWaitObject0 when the object was
// signalled, kWaitTimeout when the time ran out, otherwise a failure status.
uint32_t WaitForSingleObject(HANDLE handle, uint32_t milliseconds);

}  // namespace um
