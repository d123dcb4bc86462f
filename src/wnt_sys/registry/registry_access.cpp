// Registry access: keys by absolute or relative name, single values, value
// tables, the device key of a board number, and the walk over the subkeys of
// a key.
#include "registry/registry.h"

const WCHAR ServiceKeyPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";
const GUID DeviceInterfaceGuid = MDX_INTERFACE_GUID_INIT;

NTSTATUS OpenKey(BOOLEAN Create, WDFKEY Parent, PCWSTR Path, WDFKEY* Key)
{
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Path);
    if (!Create)
        return WdfRegistryOpenKey(Parent, &name, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, Key);
    ULONG disposition;
    return WdfRegistryCreateKey(Parent, &name, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition,
                                WDF_NO_OBJECT_ATTRIBUTES, Key);
}

VOID CloseKey(WDFKEY Key)
{
    PAGED_CODE();
    WdfRegistryClose(Key);
}

NTSTATUS QueryValue(WDFKEY Key, PCWSTR Name, ULONG Capacity, PVOID Buffer, PULONG StoredLength,
                    PULONG Type)
{
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return WdfRegistryQueryValue(Key, &name, Capacity, Buffer, StoredLength, Type);
}

NTSTATUS AssignValue(WDFKEY Key, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data)
{
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return WdfRegistryAssignValue(Key, &name, Type, Length, Data);
}

namespace {

struct VALUE_CALL {
    WDFKEY Key;
    PCWSTR Name;
    ULONG Type;
    ULONG Length;
    PVOID Data;
    PULONG StoredLength;
    PULONG StoredType;
    NTSTATUS Status;
};

VOID NTAPI QueryCall(PVOID Context)
{
    VALUE_CALL* call = (VALUE_CALL*)Context;
    call->Status = QueryValue(call->Key, call->Name, call->Length, call->Data, call->StoredLength, call->StoredType);
}

VOID NTAPI AssignCall(PVOID Context)
{
    VALUE_CALL* call = (VALUE_CALL*)Context;
    call->Status = AssignValue(call->Key, call->Name, call->Type, call->Length, call->Data);
}

}  // namespace

BOOLEAN GuardedQueryValue(WDFKEY Key, PCWSTR Name, ULONG Capacity, PVOID Buffer, PULONG StoredLength,
                          PULONG Type, NTSTATUS* Status)
{
    VALUE_CALL call = {Key, Name, 0, Capacity, Buffer, StoredLength, Type, STATUS_SUCCESS};
    if (KeCallGuarded(QueryCall, &call, nullptr))
        return TRUE;
    *Status = call.Status;
    return FALSE;
}

BOOLEAN GuardedAssignValue(WDFKEY Key, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data, NTSTATUS* Status)
{
    VALUE_CALL call = {Key, Name, Type, Length, Data, nullptr, nullptr, STATUS_SUCCESS};
    if (KeCallGuarded(AssignCall, &call, nullptr))
        return TRUE;
    *Status = call.Status;
    return FALSE;
}

NTSTATUS OpenDeviceKey(BOOLEAN Create, PCWSTR Path, ULONG BoardNumber, WDFKEY* Key)
{
    PAGED_CODE();
    if (!Path)
        return ERR_NULL_ARGUMENT;
    WCHAR name[32];
    RtlStringCbPrintfW(name, 63, u"Device%03d", BoardNumber);
    WDFKEY service;
    NTSTATUS status = OpenKey(Create, nullptr, Path, &service);
    if (!NT_SUCCESS(status))
        return status;
    status = OpenKey(Create, service, name, Key);
    CloseKey(service);
    return status;
}

NTSTATUS ReadValueTable(WDFKEY Key, PVALUE_TABLE Table)
{
    PAGED_CODE();
    if (!Key || !Table)
        return ERR_NULL_ARGUMENT;
    for (VALUE_TABLE_ROW* row = Table; row->Name; ++row) {
        // A value call that raises fails its row like any other failure.
        NTSTATUS status;
        if (GuardedQueryValue(Key, row->Name, row->Length, row->Data, &row->Length, &row->Type, &status))
            return STATUS_INVALID_PARAMETER;
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

namespace {

ULONG StringBytes(PCWSTR Text)
{
    ULONG n = 0;
    while (Text[n])
        ++n;
    return (n + 1) * sizeof(WCHAR);
}

ULONG MultiStringBytes(PCWSTR Text)
{
    ULONG total = 0;
    for (PCWSTR s = Text; *s;) {
        ULONG bytes = StringBytes(s);
        total += bytes;
        s += bytes / sizeof(WCHAR);
    }
    return total + sizeof(WCHAR);
}

}  // namespace

NTSTATUS WriteValueTable(WDFKEY Key, PVALUE_TABLE Table)
{
    PAGED_CODE();
    if (!Key || !Table)
        return ERR_NULL_ARGUMENT;
    for (const VALUE_TABLE_ROW* row = Table; row->Name; ++row) {
        ULONG length;
        switch (row->Type) {
        case REG_SZ: length = StringBytes((PCWSTR)row->Data); break;
        case REG_BINARY: length = row->Length; break;
        case REG_DWORD: length = sizeof(ULONG); break;
        case REG_MULTI_SZ: length = MultiStringBytes((PCWSTR)row->Data); break;
        default: return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status;
        if (GuardedAssignValue(Key, row->Name, row->Type, length, row->Data, &status))
            return ERR_BUFFER_TOO_SMALL;
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EnumerateSubkeys(PCWSTR Path, PSUBKEY_CALLBACK Callback, PVOID Context)
{
    PAGED_CODE();
    WDFKEY key;
    NTSTATUS status = OpenKey(FALSE, nullptr, Path, &key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_NO_MORE_ENTRIES;
    if (!NT_SUCCESS(status))
        return status;

    HANDLE handle = WdfRegistryWdmGetHandle(key);
    PKEY_BASIC_INFORMATION info = nullptr;
    ULONG size = 0;
    ULONG index = 0;
    BOOLEAN more = FALSE;
    ULONG needed = 0;
    status = ZwEnumerateKey(handle, index, KeyBasicInformation, nullptr, 0, &needed);
    for (;;) {
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
            // Too small for the record, or for its whole name: a cut name is
            // never handed on. Grow, keeping room for the terminator, and ask
            // for the same subkey again.
            if (info)
                ExFreePoolWithTag(info, MDX_POOL_TAG_REGISTRY);
            size = needed + 8;
            info = (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, MDX_POOL_TAG_REGISTRY);
            if (!info) {
                status = ERR_NO_MEMORY;
                break;
            }
        } else if (!NT_SUCCESS(status)) {
            break;
        } else {
            ++index;
            if (Callback) {
                info->Name[info->NameLength / sizeof(WCHAR)] = 0;
                status = Callback(Context, Path, info->Name, &more);
                if (!more)
                    break;
            }
        }
        // The enumeration may fill at most the buffer less one character, so
        // the terminator always fits after the name.
        status = ZwEnumerateKey(handle, index, KeyBasicInformation, info,
                                info ? size - sizeof(WCHAR) : 0, &needed);
    }
    if (info)
        ExFreePoolWithTag(info, MDX_POOL_TAG_REGISTRY);
    CloseKey(key);
    return status;
}

BOOLEAN HasPrefix(PCWSTR String, PCWSTR Prefix)
{
    for (; *Prefix; ++String, ++Prefix) {
        if (*String != *Prefix)
            return FALSE;
    }
    return TRUE;
}

ULONG NumberAfterPrefix(PCWSTR String, PCWSTR Prefix)
{
    // Callers test the prefix first; a shorter string still stops at its end.
    for (; *Prefix && *String; ++Prefix)
        ++String;
    UNICODE_STRING digits;
    RtlInitUnicodeString(&digits, String);
    ULONG number = 0xFFFFFFFF;
    if (!NT_SUCCESS(RtlUnicodeStringToInteger(&digits, 10, &number)))
        number = 0xFFFFFFFF;
    return number;
}
