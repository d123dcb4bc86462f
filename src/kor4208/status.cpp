// Names and texts of every status the library can return: its own, the
// driver's and the platform's.
#include <cstdio>

#include "board.h"

namespace {

struct StatusEntry {
    uint32_t value;
    const char* name;
    const char* text;
};

constexpr StatusEntry kStatuses[] = {
    {0x00000000u, "KOR_OK", "success"},

    {0xE0010001u, "KOR_E_INVALID_ARGUMENT",
     "invalid argument: a null pointer, a channel or port index above 3, a width other than 1, 2 or 4, "
     "a count beyond the board, or malformed text"},
    {0xE0010002u, "KOR_E_NO_SUCH_BOARD", "no started board has that board number"},
    {0xE0010003u, "KOR_E_TIMEOUT", "the wait ran out before the event came"},
    {0xE0010004u, "KOR_E_BAD_HANDLE", "the board handle is closed or was not opened by this library"},
    {0xE0010005u, "KOR_E_NO_MAPPING", "the driver gave this handle no mapping of the board's shared block"},
    {0xE0010006u, "KOR_E_CALLBACK_ACTIVE", "a callback serves this channel, so it cannot be waited on"},
    {0xE0010007u, "KOR_E_IN_CALLBACK", "a board cannot be closed from inside its own interrupt callback"},
    {0xE0010008u, "KOR_E_BUFFER_TOO_SMALL", "the caller's buffer is too small for the result"},
    {0xE0010009u, "KOR_E_BAD_REPLY", "the driver answered with a byte count the request does not allow"},
    {0xE001000Au, "KOR_E_NO_RESOURCES", "the library could not allocate memory or start its thread"},

    {0xE0000001u, "ERR_OUT_OF_RANGE", "driver: an address, index or count lies outside its range"},
    {0xE0000002u, "ERR_UNSUPPORTED", "driver: an access width other than 1, 2 or 4 bytes"},
    {0xE0000004u, "ERR_NO_MEMORY", "driver: memory could not be allocated or mapped"},
    {0xE0000005u, "ERR_NULL_ARGUMENT", "driver: a required buffer, name or key is missing or empty"},
    {0xE0000006u, "ERR_BUFFER_TOO_SMALL", "driver: a buffer is shorter than the request needs"},
    {0xE0000007u, "ERR_TOO_LONG", "driver: a port read wider than 4 bytes"},
    {0xE0000009u, "ERR_EVENT_UNSUPPORTED", "driver: the event type names no interrupt channel"},
    {0xE000000Fu, "ERR_NOT_PRIVILEGED", "driver: the request needs the board's privileged handle"},
    {0xE0000010u, "ERR_PRIVILEGE_IN_USE", "driver: another privileged handle of the board is open"},

    {0x00000102u, "STATUS_TIMEOUT", "the operation timed out"},
    {0x00000103u, "STATUS_PENDING", "the operation is still in progress"},
    {0x80000005u, "STATUS_BUFFER_OVERFLOW", "the data does not fit in the buffer given"},
    {0x8000001Au, "STATUS_NO_MORE_ENTRIES", "there are no more entries"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL", "the operation failed"},
    {0xC0000005u, "STATUS_ACCESS_VIOLATION", "a memory access violation occurred"},
    {0xC0000008u, "STATUS_INVALID_HANDLE", "the handle is not valid in this process"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", "a parameter is not valid"},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE", "the device does not exist or is gone"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST", "the device does not accept this request"},
    {0xC0000022u, "STATUS_ACCESS_DENIED", "access denied: the handle lacks the access the request needs"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL", "the buffer is too small for the result"},
    {0xC0000024u, "STATUS_OBJECT_TYPE_MISMATCH", "the handle names an object of another type"},
    {0xC0000033u, "STATUS_OBJECT_NAME_INVALID", "the object name is not valid"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND", "no object has that name (no such device or value)"},
    {0xC0000035u, "STATUS_OBJECT_NAME_COLLISION", "an object with that name exists already"},
    {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND", "the object path does not exist"},
    {0xC0000056u, "STATUS_DELETE_PENDING", "the object is being deleted"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES", "the system lacks the resources to complete the request"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED", "the request is not supported"},
    {0xC00000F0u, "STATUS_INVALID_PARAMETER_2", "the second parameter is not valid"},
    {0xC000017Cu, "STATUS_KEY_DELETED", "the registry key has been deleted"},
    {0xC0000182u, "STATUS_DEVICE_CONFIGURATION_ERROR", "the device is not configured correctly"},
    {0xC0000184u, "STATUS_INVALID_DEVICE_STATE", "the device is not in a state to accept the request"},
    {0xC000042Bu, "STATUS_IMPLEMENTATION_LIMIT", "an implementation limit was reached"},
};

const StatusEntry* Lookup(kor_status status)
{
    for (const StatusEntry& entry : kStatuses)
        if (entry.value == static_cast<uint32_t>(status))
            return &entry;
    return nullptr;
}

}  // namespace

extern "C" const char* kor_status_text(kor_status status)
{
    if (const StatusEntry* entry = Lookup(status))
        return entry->text;
    thread_local char text[32];
    std::snprintf(text, sizeof text, "unknown status 0x%08X", static_cast<unsigned>(status));
    return text;
}

extern "C" const char* kor_status_name(kor_status status)
{
    if (const StatusEntry* entry = Lookup(status))
        return entry->name;
    thread_local char name[16];
    std::snprintf(name, sizeof name, "0x%08X", static_cast<unsigned>(status));
    return name;
}
