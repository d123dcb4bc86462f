// Base types, status values and list helpers of the kernel platform, declared
// from what this driver uses. ULONG is 32 bits on every build.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define NTAPI __stdcall
#else
#define NTAPI
#endif

typedef void VOID;
typedef void* PVOID;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;

#define TRUE 1
#define FALSE 0
#define UNREFERENCED_PARAMETER(p) ((void)(p))

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_PARAMETER_2       ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION     ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056L)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_IMPLEMENTATION_LIMIT      ((NTSTATUS)0xC000042BL)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102L)
#define STATUS_INVALID_DEVICE_STATE      ((NTSTATUS)0xC0000184L)

#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

// Access rights.
#define FILE_READ_DATA        0x0001
#define FILE_WRITE_DATA       0x0002
#define FILE_READ_ATTRIBUTES  0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define SYNCHRONIZE           0x00100000L
#define EVENT_MODIFY_STATE    0x0002
#define EVENT_ALL_ACCESS      0x001F0003L
#define GENERIC_READ          0x80000000UL
#define GENERIC_WRITE         0x40000000UL
#define GENERIC_ALL           0x10000000UL
#define KEY_ALL_ACCESS        0x000F003FL

#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  0x0001
#define FILE_WRITE_ACCESS 0x0002
#define METHOD_BUFFERED   0

#define IoctlDeviceType(code)     (((ULONG)(code)) >> 16)
#define IoctlRequiredAccess(code) ((((ULONG)(code)) >> 14) & 3)
#define IoctlFunction(code)       ((((ULONG)(code)) >> 2) & 0xFFF)
#define IoctlMethod(code)         (((ULONG)(code)) & 3)

typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;
typedef char KPROCESSOR_MODE;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((char*)(address) - offsetof(type, field)))

inline VOID InitializeListHead(PLIST_ENTRY Head) { Head->Flink = Head->Blink = Head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* Head) { return Head->Flink == Head; }
inline VOID InsertTailList(PLIST_ENTRY Head, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Last = Head->Blink;
    Entry->Flink = Head;
    Entry->Blink = Last;
    Last->Flink = Entry;
    Head->Blink = Entry;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Next = Entry->Flink;
    PLIST_ENTRY Prev = Entry->Blink;
    Prev->Flink = Next;
    Next->Blink = Prev;
    return Next == Prev;
}
