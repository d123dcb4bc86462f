#include "names.h"

#include <cctype>
#include <cstdio>

#include "json_reader.h"
#include "kor4208.h"
#include "platform/nt_registry.h"
#include "platform/wdf.h"
#include "public/mdx4208_wire.h"

namespace tool {

namespace {

struct StatusEntry {
    int32_t value;
    const char* name;
};

#define MDX_STATUS(s) {static_cast<int32_t>(s), #s}
constexpr StatusEntry kStatuses[] = {
    MDX_STATUS(STATUS_SUCCESS),
    MDX_STATUS(STATUS_TIMEOUT),
    MDX_STATUS(STATUS_PENDING),
    MDX_STATUS(STATUS_BUFFER_OVERFLOW),
    MDX_STATUS(STATUS_NO_MORE_ENTRIES),
    MDX_STATUS(STATUS_UNSUCCESSFUL),
    MDX_STATUS(STATUS_ACCESS_VIOLATION),
    MDX_STATUS(STATUS_INVALID_HANDLE),
    MDX_STATUS(STATUS_INVALID_PARAMETER),
    MDX_STATUS(STATUS_NO_SUCH_DEVICE),
    MDX_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    MDX_STATUS(STATUS_ACCESS_DENIED),
    MDX_STATUS(STATUS_BUFFER_TOO_SMALL),
    MDX_STATUS(STATUS_OBJECT_TYPE_MISMATCH),
    MDX_STATUS(STATUS_OBJECT_NAME_INVALID),
    MDX_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    MDX_STATUS(STATUS_OBJECT_NAME_COLLISION),
    MDX_STATUS(STATUS_OBJECT_PATH_NOT_FOUND),
    MDX_STATUS(STATUS_DELETE_PENDING),
    MDX_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    MDX_STATUS(STATUS_NOT_SUPPORTED),
    MDX_STATUS(STATUS_INVALID_PARAMETER_2),
    MDX_STATUS(STATUS_KEY_DELETED),
    MDX_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR),
    MDX_STATUS(STATUS_INVALID_DEVICE_STATE),
    MDX_STATUS(STATUS_IMPLEMENTATION_LIMIT),
    MDX_STATUS(ERR_OUT_OF_RANGE),
    MDX_STATUS(ERR_UNSUPPORTED),
    MDX_STATUS(ERR_NO_MEMORY),
    MDX_STATUS(ERR_NULL_ARGUMENT),
    MDX_STATUS(ERR_BUFFER_TOO_SMALL),
    MDX_STATUS(ERR_TOO_LONG),
    MDX_STATUS(ERR_EVENT_UNSUPPORTED),
    MDX_STATUS(ERR_NOT_PRIVILEGED),
    MDX_STATUS(ERR_PRIVILEGE_IN_USE),
    MDX_STATUS(KOR_E_INVALID_ARGUMENT),
    MDX_STATUS(KOR_E_NO_SUCH_BOARD),
    MDX_STATUS(KOR_E_TIMEOUT),
    MDX_STATUS(KOR_E_BAD_HANDLE),
    MDX_STATUS(KOR_E_NO_MAPPING),
    MDX_STATUS(KOR_E_CALLBACK_ACTIVE),
    MDX_STATUS(KOR_E_IN_CALLBACK),
    MDX_STATUS(KOR_E_BUFFER_TOO_SMALL),
    MDX_STATUS(KOR_E_BAD_REPLY),
    MDX_STATUS(KOR_E_NO_RESOURCES),
};
#undef MDX_STATUS

struct CodeEntry {
    uint32_t code;
    const char* name;
};

#define MDX_CODE(c) {c, #c}
constexpr CodeEntry kCodes[] = {
    MDX_CODE(IOCTL_GET_SHARED_ADDRESS),   MDX_CODE(IOCTL_READ_DEVICE_VALUE),
    MDX_CODE(IOCTL_WRITE_DEVICE_VALUE),   MDX_CODE(IOCTL_READ_PORT),
    MDX_CODE(IOCTL_WRITE_PORT),           MDX_CODE(IOCTL_REGISTER_EVENTS),
    MDX_CODE(IOCTL_UNREGISTER_EVENTS),    MDX_CODE(IOCTL_QUERY_ZERO_STATUS),
    MDX_CODE(IOCTL_PRIVILEGED_ACCEPT),    MDX_CODE(IOCTL_SIGNAL_GENERAL_EVENT),
    MDX_CODE(IOCTL_GET_LOCATION),         MDX_CODE(IOCTL_SET_TRIGGER_EDGES),
    MDX_CODE(IOCTL_READ_DI_PORTS),        MDX_CODE(IOCTL_ENABLE_DI_INTERRUPT),
    MDX_CODE(IOCTL_DISABLE_DI_INTERRUPT),
};
#undef MDX_CODE

bool SameName(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return i == a.size() && !b[i];
}

}  // namespace

std::string StatusName(int32_t status)
{
    for (const StatusEntry& entry : kStatuses)
        if (entry.value == status)
            return entry.name;
    // The library knows every status it can return.
    const char* name = kor_status_name(status);
    if (name && name[0] != '0')
        return name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string StatusText(int32_t status)
{
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status));
    std::string name = StatusName(status);
    return name == value ? name : name + " (" + value + ")";
}

std::optional<int32_t> ParseStatus(const std::string& text)
{
    for (const StatusEntry& entry : kStatuses)
        if (SameName(text, entry.name))
            return entry.value;
    if (SameName(text, "KOR_OK"))
        return KOR_OK;
    if (!text.empty() && text[0] == '-') {
        auto magnitude = ParseUnsigned(text.substr(1));
        if (magnitude && *magnitude <= 0x80000000ull)
            return static_cast<int32_t>(-static_cast<int64_t>(*magnitude));
        return std::nullopt;
    }
    auto value = ParseUnsigned(text);
    if (value && *value <= 0xFFFFFFFFull)
        return static_cast<int32_t>(static_cast<uint32_t>(*value));
    return std::nullopt;
}

std::optional<std::string> ControlCodeName(uint32_t code)
{
    for (const CodeEntry& entry : kCodes)
        if (entry.code == code)
            return std::string(entry.name);
    return std::nullopt;
}

std::optional<uint32_t> ParseControlCode(const std::string& text)
{
    for (const CodeEntry& entry : kCodes)
        if (SameName(text, entry.name) || SameName("IOCTL_" + text, entry.name))
            return entry.code;
    auto value = ParseUnsigned(text);
    if (value && *value <= 0xFFFFFFFFull)
        return static_cast<uint32_t>(*value);
    return std::nullopt;
}

}  // namespace tool
