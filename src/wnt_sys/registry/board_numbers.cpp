// Board numbers: a board is found again by its product and BoardID, or by its
// place on the bus while no present board answers at that number's map entry;
// otherwise it gets the lowest number that has no device key.
#include "registry/registry.h"

#define MDX_BOARD_NUMBERS 1024u

namespace {

// Takes one 32-bit value of a device key. A value of another type or length
// fails the query, so the subkey is skipped, instead of being written into
// the 4-byte target; a missing value leaves the target at 0.
NTSTATUS NTAPI ReadDwordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                              PVOID Context, PVOID EntryContext)
{
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

RTL_QUERY_REGISTRY_TABLE DwordEntry(PCWSTR Name, PULONG Target)
{
    RTL_QUERY_REGISTRY_TABLE entry = {};
    entry.QueryRoutine = ReadDwordValue;
    entry.Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    entry.Name = (PWSTR)Name;
    entry.EntryContext = Target;
    entry.DefaultType = REG_NONE;
    return entry;
}

NTSTATUS FindBoard(PCWSTR Path, PBOARD_MATCH_CTX Match)
{
    if (!Match->BoardNumberOut)
        return ERR_NULL_ARGUMENT;
    *Match->BoardNumberOut = MDX_NO_BOARD_NUMBER;
    return EnumerateSubkeys(Path, MatchBoardKey, Match);
}

}  // namespace

NTSTATUS FindBoardById(PCWSTR Path, ULONG ProductID, ULONG BoardID, PULONG BoardNumber)
{
    PAGED_CODE();
    BOARD_MATCH_CTX match = {BoardNumber, TRUE, ProductID, BoardID, 0, 0};
    return FindBoard(Path, &match);
}

NTSTATUS FindBoardByLocation(PCWSTR Path, ULONG ProductID, ULONG BusNumber, ULONG SlotNumber,
                             PULONG BoardNumber)
{
    PAGED_CODE();
    BOARD_MATCH_CTX match = {BoardNumber, FALSE, ProductID, 0, BusNumber, SlotNumber};
    return FindBoard(Path, &match);
}

NTSTATUS MatchBoardKey(PVOID Context, PCWSTR Path, PCWSTR Name, PBOOLEAN Continue)
{
    PAGED_CODE();
    PBOARD_MATCH_CTX match = (PBOARD_MATCH_CTX)Context;
    *Continue = TRUE;
    if (!HasPrefix(Name, MDX_DEVICE_KEY_PREFIX))
        return STATUS_SUCCESS;

    ULONG productId = 0, boardId = 0, slot = 0, bus = 0;
    RTL_QUERY_REGISTRY_TABLE table[6] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = (PWSTR)Name;
    table[1] = DwordEntry(u"ProductID", &productId);
    table[2] = DwordEntry(u"BoardID", &boardId);
    table[3] = DwordEntry(u"SlotNumber", &slot);
    table[4] = DwordEntry(u"BusNumber", &bus);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, Path,
                                             table, nullptr, nullptr);
    if (!NT_SUCCESS(status))
        return STATUS_SUCCESS;
    if (productId != match->ProductID)
        return status;

    ULONG number = NumberAfterPrefix(Name, MDX_DEVICE_KEY_PREFIX);
    BOOLEAN matched;
    if (match->ById)
        matched = boardId == match->BoardID;
    else
        matched = slot == match->SlotNumber && bus == match->BusNumber && boardId == 0 &&
                  !IsBoardAlive(number);
    if (matched) {
        *Continue = FALSE;
        *match->BoardNumberOut = number;
    }
    return status;
}

NTSTATUS MarkUsedNumber(PVOID Context, PCWSTR Path, PCWSTR Name, PBOOLEAN Continue)
{
    PAGED_CODE();
    PUCHAR used = (PUCHAR)Context;
    *Continue = TRUE;
    if (HasPrefix(Name, MDX_DEVICE_KEY_PREFIX)) {
        ULONG number = NumberAfterPrefix(Name, MDX_DEVICE_KEY_PREFIX);
        if (number < MDX_BOARD_NUMBERS)
            used[number] = 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AllocateBoardNumber(PULONG BoardNumber)
{
    PAGED_CODE();
    *BoardNumber = MDX_NO_BOARD_NUMBER;
    PUCHAR used = (PUCHAR)ExAllocatePoolWithTag(PagedPool, MDX_BOARD_NUMBERS, MDX_POOL_TAG_REGISTRY);
    if (!used)
        return ERR_NO_MEMORY;
    RtlZeroMemory(used, MDX_BOARD_NUMBERS);
    NTSTATUS status = EnumerateSubkeys(ServiceKeyPath, MarkUsedNumber, used);
    if (status == STATUS_NO_MORE_ENTRIES || status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_IMPLEMENTATION_LIMIT;
        for (ULONG n = 0; n < MDX_BOARD_NUMBERS; ++n) {
            if (!used[n]) {
                *BoardNumber = n;
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    ExFreePoolWithTag(used, MDX_POOL_TAG_REGISTRY);
    return status;
}

BOOLEAN IsBoardAlive(ULONG BoardNumber)
{
    PAGED_CODE();
    WDFKEY service, map;
    if (!NT_SUCCESS(OpenKey(FALSE, nullptr, ServiceKeyPath, &service)))
        return FALSE;
    NTSTATUS status = OpenKey(FALSE, service, MDX_MAP_ENTRY_KEY, &map);
    CloseKey(service);
    if (!NT_SUCCESS(status))
        return FALSE;

    WCHAR nameBuffer[10];
    UNICODE_STRING name = {0, sizeof nameBuffer, nameBuffer};
    RtlIntegerToUnicodeString(BoardNumber, 10, &name);
    nameBuffer[name.Length / sizeof(WCHAR)] = 0;

    // 256 characters; a stored path that leaves no room for the terminator
    // counts as absent.
    WCHAR path[256];
    RtlZeroMemory(path, sizeof path);
    ULONG stored = 0;
    BOOLEAN raised = GuardedQueryValue(map, nameBuffer, sizeof path, path, &stored, nullptr, &status);
    CloseKey(map);
    if (raised || !NT_SUCCESS(status) || stored >= sizeof path)
        RtlZeroMemory(path, sizeof path);

    // "\\.\rest" becomes the kernel's "\??\rest".
    path[0] = u'\\';
    path[1] = u'?';
    path[2] = u'?';
    UNICODE_STRING objectName;
    RtlInitUnicodeString(&objectName, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file;
    status = ZwCreateFile(&file, GENERIC_READ, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status))
        return FALSE;
    ZwClose(file);
    return TRUE;
}
