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
