// Raw requests through the user-mode surface, below the client library: for
// people who debug the driver and for scenarios that check its answers byte
// by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "um/um.h"

namespace tool {

inline constexpr uint32_t kSharedAccess = um::kGenericRead | um::kFileWriteData;
inline constexpr uint32_t kPrivilegedAccess = kSharedAccess | um::kFileWriteAttributes;

// A handle of the calling thread's process, closed with the object.
class RawHandle {
public:
    RawHandle() = default;
    RawHandle(RawHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    RawHandle& operator=(RawHandle&& other) noexcept;
    ~RawHandle() { Close(); }

    // Opens `path` with `access`; the open's status.
    int32_t Open(const std::u16string& path, uint32_t access);
    void Close();
    um::HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    um::HANDLE handle_ = nullptr;
};

struct RawResult {
    int32_t status = 0;
    uint32_t bytes = 0;
    // The output buffer as the request left it; bytes past `bytes` still
    // hold the fill the request was sent with (0xEE).
    std::vector<uint8_t> output;
};

RawResult RawIoctl(um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength);

}  // namespace tool
