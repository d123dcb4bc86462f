// Kernel and HAL operations that the driver calls, with the records they use.
#pragma once

#include "nt_types.h"

// ---- IRQL and pageable code -------------------------------------------------
KIRQL NTAPI KeGetCurrentIrql();
// Reports a pageable routine that runs above APC_LEVEL.
VOID NTAPI KeCheckPagedCode(const char* Routine);
#define PAGED_CODE() KeCheckPagedCode(__func__)

// ---- HAL port access --------------------------------------------------------
UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
ULONG NTAPI READ_PORT_ULONG(PULONG Port);
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);

// ---- the guarded section ------------------------------------------------------
// Runs Routine(Context) under the platform's exception guard. Returns TRUE when
// the routine raised; *ExceptionCode then holds the raised status.
typedef VOID NTAPI GUARDED_ROUTINE(PVOID Context);
typedef GUARDED_ROUTINE* PGUARDED_ROUTINE;
BOOLEAN NTAPI KeCallGuarded(PGUARDED_ROUTINE Routine, PVOID Context, NTSTATUS* ExceptionCode);

// ---- pool -------------------------------------------------------------------
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
#define PAGE_SIZE 4096
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length);
VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length);

// ---- objects and events -----------------------------------------------------
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* ExEventObjectType;

typedef struct _KEVENT* PKEVENT;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

// The event storage a caller keeps on its stack for a synchronous request.
typedef struct _KEVENT_STORAGE {
    ULONG_PTR Opaque[4];
} KEVENT_STORAGE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
VOID NTAPI ObfReferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

// ---- processes ----------------------------------------------------------------
typedef struct _EPROCESS* PEPROCESS;
typedef struct _KAPC_STATE {
    ULONG_PTR Opaque[6];
} KAPC_STATE, *PKAPC_STATE;
PEPROCESS NTAPI PsGetCurrentProcess();
// Runs the current thread in another process's address space until detached.
VOID NTAPI KeStackAttachProcess(PEPROCESS Process, PKAPC_STATE ApcState);
VOID NTAPI KeUnstackDetachProcess(PKAPC_STATE ApcState);
LONG NTAPI KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PKEVENT Event);

// ---- memory descriptor lists and user mappings ------------------------------
typedef struct _MDL* PMDL;
typedef struct _IRP* PIRP;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16,
                                 HighPagePriority = 32 } MM_PAGE_PRIORITY;
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl);
VOID NTAPI IoFreeMdl(PMDL Mdl);
// Maps the MDL's pages; for UserMode a failure raises an exception.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority);
VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl);

// ---- waits and synchronous requests to the bus driver -----------------------------
// Event storage a caller keeps on its own stack.
typedef struct _KEVENT {
    ULONG_PTR Opaque[4];
} KEVENT, *PRKEVENT;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define IRP_MJ_PNP 0x1B
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define PCI_WHICHSPACE_CONFIG 0x0

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG WhichSpace;
            PVOID Buffer;
            ULONG Offset;
            ULONG Length;
        } ReadWriteConfig;
    } Parameters;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    IO_STATUS_BLOCK IoStatus;
    PIO_STACK_LOCATION NextStackLocation;
} IRP;

typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;

// The top of the device stack that `DeviceObject` belongs to, referenced.
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PRKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->NextStackLocation; }

// The configuration space of a PCI function as it is read whole.
typedef struct _PCI_COMMON_CONFIG {
    USHORT VendorID;
    USHORT DeviceID;
    USHORT Command;
    USHORT Status;
    UCHAR RevisionID;
    UCHAR ProgIf;
    UCHAR SubClass;
    UCHAR BaseClass;
    UCHAR CacheLineSize;
    UCHAR LatencyTimer;
    UCHAR HeaderType;
    UCHAR BIST;
    ULONG HeaderSpecific[12];
    UCHAR DeviceSpecific[192];
} PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;
static_assert(sizeof(PCI_COMMON_CONFIG) == 256, "the whole configuration space");
static_assert(offsetof(PCI_COMMON_CONFIG, DeviceID) == 2, "device ID at offset 2");

// ---- opening a device by path ----------------------------------------------------------
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_OPEN 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

inline VOID InitializeObjectAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name,
                                       ULONG AttributeFlags, HANDLE Root, PVOID Security)
{
    Attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    Attributes->RootDirectory = Root;
    Attributes->ObjectName = Name;
    Attributes->Attributes = AttributeFlags;
    Attributes->SecurityDescriptor = Security;
    Attributes->SecurityQualityOfService = nullptr;
}

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
