// The table of started boards that refuses a second board with the same
// product and BoardID. Resident: it runs under its spin lock.
#include "lifecycle/lifecycle.h"

BOARD_TABLE BoardTable;

namespace {

ULONG BoardKey(ULONG ProductID, ULONG BoardID) { return (ProductID << 16) | (BoardID & 0xFFFF); }

}  // namespace

NTSTATUS CreateBoardTableLock()
{
    PAGED_CODE();
    if (BoardTable.Lock)
        return STATUS_SUCCESS;
    return WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &BoardTable.Lock);
}

NTSTATUS BoardTableAdd(ULONG ProductID, ULONG BoardID, ULONG BoardNumber)
{
    if (!BoardTable.Lock)
        return STATUS_UNSUCCESSFUL;
    ULONG key = BoardKey(ProductID, BoardID);
    NTSTATUS status = STATUS_SUCCESS;
    WdfSpinLockAcquire(BoardTable.Lock);
    if (BoardTable.Count == BOARD_TABLE_SIZE) {
        status = STATUS_BUFFER_OVERFLOW;
    } else {
        for (ULONG i = 0; i < BoardTable.Count; ++i) {
            if (BoardTable.Entries[i].Key == key) {
                status = STATUS_OBJECT_NAME_COLLISION;
                break;
            }
        }
        if (NT_SUCCESS(status)) {
            BoardTable.Entries[BoardTable.Count].BoardNumber = BoardNumber;
            BoardTable.Entries[BoardTable.Count].Key = key;
            ++BoardTable.Count;
        }
    }
    WdfSpinLockRelease(BoardTable.Lock);
    return status;
}

NTSTATUS BoardTableRemove(ULONG ProductID, ULONG BoardID)
{
    if (!BoardTable.Lock)
        return STATUS_UNSUCCESSFUL;
    ULONG key = BoardKey(ProductID, BoardID);
    WdfSpinLockAcquire(BoardTable.Lock);
    for (ULONG i = 0; i < BoardTable.Count; ++i) {
        if (BoardTable.Entries[i].Key != key)
            continue;
        for (ULONG j = i + 1; j < BoardTable.Count; ++j)
            BoardTable.Entries[j - 1] = BoardTable.Entries[j];
        --BoardTable.Count;
        break;
    }
    WdfSpinLockRelease(BoardTable.Lock);
    return STATUS_SUCCESS;
}
