// Registry access as the driver uses it: framework key objects, subkey
// enumeration, table queries, and the counted-string and bounded-format
// helpers that build key and value names.
#pragma once

#include "nt_types.h"
#include "wdf.h"

#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif

// ---- value types and key options ------------------------------------------------
#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY     1
#define REG_OPENED_EXISTING_KEY 2

// ---- framework key objects ------------------------------------------------------
NTSTATUS NTAPI WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key);
NTSTATUS NTAPI WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName,
                                    ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                                    PULONG CreateDisposition,
                                    PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
VOID NTAPI WdfRegistryClose(WDFKEY Key);
HANDLE NTAPI WdfRegistryWdmGetHandle(WDFKEY Key);
NTSTATUS NTAPI WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                                     PVOID Value, PULONG ValueLengthQueried, PULONG ValueType);
NTSTATUS NTAPI WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                      ULONG ValueLength, PVOID Value);

// ---- subkey enumeration -----------------------------------------------------------
typedef enum _KEY_INFORMATION_CLASS { KeyBasicInformation = 0 } KEY_INFORMATION_CLASS;

// The name is not terminated; NameLength is its length in bytes.
typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength);

// ---- table queries ----------------------------------------------------------------
typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType,
                                                  PVOID ValueData, ULONG ValueLength,
                                                  PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

#define RTL_QUERY_REGISTRY_SUBKEY    0x00000001
#define RTL_QUERY_REGISTRY_REQUIRED  0x00000004
#define RTL_QUERY_REGISTRY_NOEXPAND  0x00000010
#define RTL_QUERY_REGISTRY_DIRECT    0x00000020
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
// With TYPECHECK, the type a direct entry expects sits in the top byte of DefaultType.
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_OPTIONAL 0x80000000

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment);

// ---- counted strings, numbers and bounded formatting ----------------------------------
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

// Formats into at most DestinationBytes / 2 characters, always terminated.
// %d %u %x with flags, width and the l/ll/I64 sizes, %s and %ws (wide strings
// both), %c, %%.
NTSTATUS RtlStringCbPrintfW(PWSTR Destination, size_t DestinationBytes, PCWSTR Format, ...);
NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR String, size_t MaxChars, size_t* Length);

static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16, "KEY_BASIC_INFORMATION fixed part");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 28, "RTL_QUERY_REGISTRY_TABLE");
#endif
