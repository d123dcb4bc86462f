// Driver entry, device creation and the start and release of a board.
#pragma once

#include "device/device_context.h"

extern "C++" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

EVT_WDF_DRIVER_DEVICE_ADD DeviceAdd;
EVT_WDF_DEVICE_CONTEXT_CLEANUP DeviceCleanup;
NTSTATUS InitDeviceContext(PDEVICE_EXTENSION DeviceExtension);
VOID IdentifyProduct(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS CreateInterruptObject(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS PciConfigAccess(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PVOID Buffer, ULONG Offset,
                         ULONG Length);

EVT_WDF_DEVICE_PREPARE_HARDWARE PrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE ReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY D0Entry;
EVT_WDF_DEVICE_D0_EXIT D0Exit;
NTSTATUS FindPortResource(PDEVICE_EXTENSION DeviceExtension, WDFCMRESLIST ResourcesTranslated);
ULONG FindInterruptResource(WDFCMRESLIST ResourcesRaw);

// The driver-wide table of started boards with a nonzero BoardID.
#define BOARD_TABLE_SIZE 32u
typedef struct _BOARD_TABLE_ENTRY {
    ULONG BoardNumber;
    ULONG Key;
} BOARD_TABLE_ENTRY;

typedef struct _BOARD_TABLE {
    WDFSPINLOCK Lock;
    ULONG Count;
    BOARD_TABLE_ENTRY Entries[BOARD_TABLE_SIZE];
} BOARD_TABLE;

extern BOARD_TABLE BoardTable;
NTSTATUS CreateBoardTableLock();
NTSTATUS BoardTableAdd(ULONG ProductID, ULONG BoardID, ULONG BoardNumber);
NTSTATUS BoardTableRemove(ULONG ProductID, ULONG BoardID);

// Serialises the search, allocation and record writing of board numbers
// across boards being prepared at once.
extern WDFWAITLOCK BoardNumberLock;
NTSTATUS CreateBoardNumberLock();
