// The driver's records: one per board, one per open handle, one per deferral
// work item, each a framework context with its accessor beside it.
#pragma once

#include "platform/board_ports.h"
#include "platform/platform.h"
#include "public/mdx4208_wire.h"

// Pool tags read as text in a memory dump: the first character is the lowest byte.
#define MDX_POOL_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define MDX_POOL_TAG_SHARED MDX_POOL_TAG('K', 'S', 'H', 'B')

// What the board is and where it sits, as the driver found it. The block
// publishes these; the driver itself only ever uses this copy.
typedef struct _BOARD_IDENTITY {
    ULONG ProductID;
    ULONG BoardID;
    ULONG BusNumber;
    ULONG SlotNumber;
    ULONG BaseAddress;
    ULONG InterruptLevel;
} BOARD_IDENTITY;

typedef struct _DEVICE_EXTENSION {
    WDFDEVICE Device;
    WDFINTERRUPT InterruptObject;
    ULONG Prepared;
    LIST_ENTRY FileList;
    PMDL SharedMdl;
    // The block shared with user mode, in whole pages of its own so that a
    // mapping exposes nothing else.
    SHARED_BLOCK* Shared;
    // Trusted copies that user mode cannot overwrite.
    BOARD_PORT_RANGE Ports;
    // Interrupt-status bits latched by the service routine and not yet taken
    // by the deferred procedure.
    volatile LONG LatchedStatus;
    // Nonzero while the interrupt is connected, so the board's registers may
    // be written under its lock.
    volatile ULONG InterruptConnected;
    // The board number found at preparation; names the registry key that
    // the deferred requests reach, whatever user mode writes into the block.
    ULONG BoardNumber;
    BOARD_IDENTITY Identity;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXTENSION, GetDeviceExtension)

typedef struct _FILE_CONTEXT {
    LIST_ENTRY Link;
    PVOID UserAddress;
    PKEVENT Events[MDX_EVENT_SLOTS];
    BOOLEAN Privileged;
    // The process whose address space holds UserAddress; referenced while
    // the mapping lives.
    PEPROCESS Opener;
} FILE_CONTEXT, *PFILE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, GetFileContext)

typedef VOID NTAPI DEFERRED_HANDLER(WDFDEVICE Device, ULONG BoardNumber, WDFREQUEST Request);
typedef DEFERRED_HANDLER* PDEFERRED_HANDLER;

typedef struct _KLIB_WORKITEM_CTX {
    PDEFERRED_HANDLER Routine;
    ULONG BoardNumberArg;
    WDFREQUEST Request;
} KLIB_WORKITEM_CTX, *PKLIB_WORKITEM_CTX;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KLIB_WORKITEM_CTX, GetWorkItemContext)

#define SHARED_BLOCK_PAGES_BYTES PAGE_SIZE
static_assert(sizeof(SHARED_BLOCK) <= SHARED_BLOCK_PAGES_BYTES, "the block fits its page");

// Allocates the block's own page, zeroed, and the descriptor list of its 160
// bytes. STATUS_INSUFFICIENT_RESOURCES when either cannot be had; nothing is
// left allocated then.
NTSTATUS CreateSharedBlock(PDEVICE_EXTENSION DeviceExtension);
// Frees what CreateSharedBlock made; safe on a context where it failed.
VOID FreeSharedBlock(PDEVICE_EXTENSION DeviceExtension);
