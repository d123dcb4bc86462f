// The interrupt object's callbacks: the service routine latches and
// acknowledges the status, the deferred procedure snapshots the inputs,
// raises the pending flags and sets the channels' events.
#include "events/events.h"

BOOLEAN NTAPI EvtInterruptIsr(WDFINTERRUPT Interrupt, ULONG MessageID)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(WdfInterruptGetDevice(Interrupt));
    UCHAR status = ReadBoardRegister(&extension->Ports, BOARD_REG_INT_STATUS) & BOARD_CHANNEL_MASK;
    WriteULongNoFence(&extension->Shared->IntStatus, status);
    if (!status)
        return FALSE;
    // The bits wait here for the deferred procedure, so a later run of this
    // routine (ours or a sharer's, which stores 0) cannot erase them.
    InterlockedOr(&extension->LatchedStatus, status);
    // Cleared before the deferred procedure can run on another processor:
    // an edge that follows its events latches anew instead of being cleared
    // with this one.
    WriteBoardRegister(&extension->Ports, BOARD_REG_INT_STATUS, status);
    WdfInterruptQueueDpcForIsr(Interrupt);
    return TRUE;
}

VOID NTAPI EvtInterruptDpc(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(AssociatedObject);
    SHARED_BLOCK* shared = extension->Shared;
    ULONG pending = (ULONG)InterlockedExchange(&extension->LatchedStatus, 0) & BOARD_CHANNEL_MASK;

    UCHAR snapshot[MDX_INPUT_PORTS];
    BOOLEAN taken = FALSE;
    for (ULONG channel = 0; pending >> channel; ++channel) {
        if (!(pending & (1u << channel)))
            continue;
        if (ReadUCharNoFence(&shared->DiintChannel[channel].ScanCount)) {
            if (!taken) {
                for (ULONG port = 0; port < MDX_INPUT_PORTS; ++port)
                    snapshot[port] = ReadBoardRegister(&extension->Ports, BOARD_REG_INPUT_PORT0 + port);
                taken = TRUE;
            }
            for (ULONG port = 0; port < MDX_INPUT_PORTS; ++port)
                WriteUCharNoFence(&shared->DiSnapshot[channel][port], snapshot[port]);
        }
        if (InterlockedExchange((volatile LONG*)&shared->IntPending[channel], 1) == 0)
            SignalEventSlot(extension, channel + 1);
    }
}

// Connection and disconnection leave the board alone; they only note whether
// the board's interrupt registers may be written under the interrupt lock.
NTSTATUS NTAPI EvtInterruptEnable(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice)
{
    WriteULongNoFence(&GetDeviceExtension(AssociatedDevice)->InterruptConnected, 1);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EvtInterruptDisable(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice)
{
    WriteULongNoFence(&GetDeviceExtension(AssociatedDevice)->InterruptConnected, 0);
    return STATUS_SUCCESS;
}
