#include "raw_io.h"

namespace tool {

RawHandle& RawHandle::operator=(RawHandle&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

int32_t RawHandle::Open(const std::u16string& path, uint32_t access)
{
    Close();
    return um::CreateFile(path.c_str(), access, &handle_);
}

void RawHandle::Close()
{
    if (handle_)
        um::CloseHandle(handle_);
    handle_ = nullptr;
}

RawResult RawIoctl(um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength)
{
    RawResult result;
    result.output.assign(outputLength, 0xEE);
    // The request is sent with exactly the lengths given: an empty buffer
    // goes as a null pointer, as an application would send it.
    result.status = um::DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(),
                                        static_cast<uint32_t>(input.size()),
                                        outputLength ? result.output.data() : nullptr, outputLength, &result.bytes);
    return result;
}

}  // namespace tool
