// Finding the boards through their device interface, and opening one by its
// board number.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "board.h"
#include "text.h"

namespace kor {

namespace {

constexpr kor_status kStatusNoSuchDevice = static_cast<kor_status>(0xC000000Eu);
constexpr kor_status kStatusObjectNameNotFound = static_cast<kor_status>(0xC0000034u);
constexpr kor_status kStatusDeletePending = static_cast<kor_status>(0xC0000056u);
constexpr kor_status kStatusBufferOverflow = static_cast<kor_status>(0x80000005u);
constexpr kor_status kStatusBufferTooSmall = static_cast<kor_status>(0xC0000023u);

// A board whose interface was listed but which stopped before the open.
bool Gone(kor_status status)
{
    return status == kStatusObjectNameNotFound || status == kStatusNoSuchDevice ||
           status == kStatusDeletePending;
}

struct InterfaceGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
constexpr InterfaceGuid kInterfaceGuid = MDX_INTERFACE_GUID_INIT;

// The GUID as it lies in memory: the three integers little-endian.
void GuidBytes(uint8_t out[16])
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(kInterfaceGuid.data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        out[4 + i] = static_cast<uint8_t>(kInterfaceGuid.data2 >> (8 * i));
        out[6 + i] = static_cast<uint8_t>(kInterfaceGuid.data3 >> (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        out[8 + i] = kInterfaceGuid.data4[i];
}

// The user-mode paths of the started boards' interfaces.
kor_status InterfacePaths(std::vector<std::u16string>* paths)
{
    uint8_t guid[16];
    GuidBytes(guid);
    std::vector<char16_t> run;
    for (;;) {
        uint32_t needed = 0;
        um::NTSTATUS status = um::GetDeviceInterfaces(guid, run.empty() ? nullptr : run.data(),
                                                      static_cast<uint32_t>(run.size()), &needed);
        if (status == um::kBufferTooSmall && needed > run.size()) {
            run.resize(needed);  // a board that started meanwhile may ask again
            continue;
        }
        if (status < 0)
            return status;
        break;
    }
    paths->clear();
    for (size_t i = 0; i < run.size() && run[i]; ) {
        std::u16string path(run.data() + i);
        i += path.size() + 1;
        paths->push_back(std::move(path));
    }
    return KOR_OK;
}

// Closes a handle on every way out unless released.
class HandleGuard {
public:
    HandleGuard() = default;
    ~HandleGuard()
    {
        if (handle_)
            um::CloseHandle(handle_);
    }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    um::HANDLE* receive() { return &handle_; }
    um::HANDLE get() const { return handle_; }
    um::HANDLE release()
    {
        um::HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    um::HANDLE handle_ = nullptr;
};

uint32_t Field(const SharedMapping& shared, size_t offset)
{
    return shared.Load(static_cast<uint32_t>(offset));
}

kor_status ReadInfo(um::HANDLE device, const SharedMapping& shared, const std::u16string& path,
                    kor_board_info* info)
{
    *info = kor_board_info{};
    info->board_number = Field(shared, offsetof(SHARED_BLOCK, BoardNumber));
    info->product_id = Field(shared, offsetof(SHARED_BLOCK, ProductID));
    info->board_id = Field(shared, offsetof(SHARED_BLOCK, BoardID));
    info->bus = Field(shared, offsetof(SHARED_BLOCK, BusNumber));
    info->slot = Field(shared, offsetof(SHARED_BLOCK, SlotNumber));
    info->port_base = Field(shared, offsetof(SHARED_BLOCK, BaseAddress));
    info->port_length = Field(shared, offsetof(SHARED_BLOCK, PortLength));
    info->interrupt = Field(shared, offsetof(SHARED_BLOCK, InterruptLevel));
    std::string location;
    kor_status status = QueryLocationText(device, &location);
    if (status < 0)
        return status;
    status = CopyOut(location, info->location, sizeof info->location);
    if (status < 0)
        return status;
    return CopyOut(Utf16ToUtf8(path.data(), path.size()), info->device_path, sizeof info->device_path);
}

// Opens the interface with a shared handle and finds its mapping.
kor_status Probe(const std::u16string& path, HandleGuard* handle, SharedMapping* shared)
{
    um::NTSTATUS status = um::CreateFile(path.c_str(), kSharedAccess, handle->receive());
    if (status < 0)
        return status;
    return QueryMapping(handle->get(), shared);
}

}  // namespace

kor_status QueryLocationText(um::HANDLE device, std::string* text)
{
    constexpr size_t kLongest = 32768;  // UTF-16 units; a property is never longer
    std::vector<char16_t> buffer(128);
    for (;;) {
        uint32_t bytes = 0;
        kor_status status = ControlCounted(device, IOCTL_GET_LOCATION, nullptr, 0, buffer.data(),
                                           static_cast<uint32_t>(buffer.size() * sizeof(char16_t)), &bytes);
        if ((status == kStatusBufferTooSmall || status == kStatusBufferOverflow) && buffer.size() < kLongest) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (status < 0)
            return status;
        *text = Utf16ToUtf8(buffer.data(), bytes / sizeof(char16_t));
        return KOR_OK;
    }
}

}  // namespace kor

extern "C" kor_status kor_list_boards(kor_board_info* boards, uint32_t capacity, uint32_t* count)
{
    if (!count || (capacity > 0 && !boards))
        return KOR_E_INVALID_ARGUMENT;
    return kor::Guarded([&]() -> kor_status {
        std::vector<std::u16string> paths;
        kor_status status = kor::InterfacePaths(&paths);
        if (status < 0)
            return status;
        std::vector<kor_board_info> found;
        for (const std::u16string& path : paths) {
            kor::HandleGuard handle;
            kor::SharedMapping shared;
            status = kor::Probe(path, &handle, &shared);
            if (kor::Gone(status))
                continue;
            if (status < 0)
                return status;
            if (!shared.present())
                return KOR_E_NO_MAPPING;
            kor_board_info info;
            status = kor::ReadInfo(handle.get(), shared, path, &info);
            if (status < 0)
                return status;
            found.push_back(info);
        }
        std::sort(found.begin(), found.end(), [](const kor_board_info& a, const kor_board_info& b) {
            return a.board_number < b.board_number;
        });
        *count = static_cast<uint32_t>(found.size());
        std::copy_n(found.begin(), std::min<size_t>(capacity, found.size()), boards);
        return KOR_OK;
    });
}

extern "C" kor_status kor_open(uint32_t board_number, int mode, kor_board** board)
{
    if (!board || (mode != KOR_OPEN_SHARED && mode != KOR_OPEN_PRIVILEGED))
        return KOR_E_INVALID_ARGUMENT;
    *board = nullptr;
    return kor::Guarded([&]() -> kor_status {
        std::vector<std::u16string> paths;
        kor_status status = kor::InterfacePaths(&paths);
        if (status < 0)
            return status;
        bool unidentified = false;
        for (const std::u16string& path : paths) {
            kor::HandleGuard probe;
            kor::SharedMapping shared;
            status = kor::Probe(path, &probe, &shared);
            if (kor::Gone(status))
                continue;
            if (status < 0)
                return status;
            if (!shared.present()) {
                unidentified = true;
                continue;
            }
            if (kor::Field(shared, offsetof(SHARED_BLOCK, BoardNumber)) != board_number)
                continue;
            if (mode == KOR_OPEN_SHARED) {
                auto opened = std::make_shared<kor_board>(probe.get(), shared);
                probe.release();
                *board = kor::Adopt(std::move(opened));
                return KOR_OK;
            }
            // The probe was shared: a privileged probe of every board would
            // take the role from others and disarm boards when it closed.
            kor::HandleGuard privileged;
            status = um::CreateFile(path.c_str(), kor::kPrivilegedAccess, privileged.receive());
            if (status < 0)
                return status;
            kor::SharedMapping own;
            status = kor::QueryMapping(privileged.get(), &own);
            if (status < 0)
                return status;
            auto opened = std::make_shared<kor_board>(privileged.get(), own);
            privileged.release();
            *board = kor::Adopt(std::move(opened));
            return KOR_OK;
        }
        return unidentified ? KOR_E_NO_MAPPING : KOR_E_NO_SUCH_BOARD;
    });
}
