// Registry access, the per-board record and map entry, and board numbering.
#pragma once

#include "device/device_context.h"

#define MDX_POOL_TAG_REGISTRY MDX_POOL_TAG('R', 'E', 'G', 'P')
#define MDX_DEVICE_KEY_PREFIX u"Device"
#define MDX_MAP_ENTRY_KEY u"MapEntry"

// The service key that holds every board's record.
extern const WCHAR ServiceKeyPath[];
extern const GUID DeviceInterfaceGuid;

// ---- keys and values --------------------------------------------------------------
NTSTATUS OpenKey(BOOLEAN Create, WDFKEY Parent, PCWSTR Path, WDFKEY* Key);
VOID CloseKey(WDFKEY Key);
NTSTATUS QueryValue(WDFKEY Key, PCWSTR Name, ULONG Capacity, PVOID Buffer, PULONG StoredLength,
                    PULONG Type);
NTSTATUS AssignValue(WDFKEY Key, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data);
// The same calls under the exception guard: TRUE when the call raised, and
// *Status is then not set.
BOOLEAN GuardedQueryValue(WDFKEY Key, PCWSTR Name, ULONG Capacity, PVOID Buffer, PULONG StoredLength,
                          PULONG Type, NTSTATUS* Status);
BOOLEAN GuardedAssignValue(WDFKEY Key, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data, NTSTATUS* Status);
NTSTATUS OpenDeviceKey(BOOLEAN Create, PCWSTR Path, ULONG BoardNumber, WDFKEY* Key);

// A row of a value table; a row with a null Name ends the table.
typedef struct _VALUE_TABLE_ROW {
    PCWSTR Name;
    ULONG Type;
    ULONG Length;
    PVOID Data;
} VALUE_TABLE_ROW, *PVALUE_TABLE;

NTSTATUS ReadValueTable(WDFKEY Key, PVALUE_TABLE Table);
NTSTATUS WriteValueTable(WDFKEY Key, PVALUE_TABLE Table);

// ---- the subkey walk --------------------------------------------------------------
typedef NTSTATUS SUBKEY_CALLBACK(PVOID Context, PCWSTR Path, PCWSTR Name, PBOOLEAN Continue);
typedef SUBKEY_CALLBACK* PSUBKEY_CALLBACK;
NTSTATUS EnumerateSubkeys(PCWSTR Path, PSUBKEY_CALLBACK Callback, PVOID Context);

BOOLEAN HasPrefix(PCWSTR String, PCWSTR Prefix);
ULONG NumberAfterPrefix(PCWSTR String, PCWSTR Prefix);

// ---- board numbers ------------------------------------------------------------------
typedef struct _BOARD_MATCH_CTX {
    PULONG BoardNumberOut;
    BOOLEAN ById;
    ULONG ProductID;
    ULONG BoardID;
    ULONG BusNumber;
    ULONG SlotNumber;
} BOARD_MATCH_CTX, *PBOARD_MATCH_CTX;

NTSTATUS FindBoardById(PCWSTR Path, ULONG ProductID, ULONG BoardID, PULONG BoardNumber);
NTSTATUS FindBoardByLocation(PCWSTR Path, ULONG ProductID, ULONG BusNumber, ULONG SlotNumber,
                             PULONG BoardNumber);
NTSTATUS AllocateBoardNumber(PULONG BoardNumber);
BOOLEAN IsBoardAlive(ULONG BoardNumber);
SUBKEY_CALLBACK MatchBoardKey;
SUBKEY_CALLBACK MarkUsedNumber;

// ---- the device record and map entry --------------------------------------------------
NTSTATUS WriteDeviceRecord(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension);
NTSTATUS ReadUserSettings(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension);
NTSTATUS WriteIdentityValues(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension);
NTSTATUS WriteMapEntry(ULONG BoardNumber, WDFDEVICE Device, const GUID* InterfaceGuid);
PCWSTR GetServiceName();
