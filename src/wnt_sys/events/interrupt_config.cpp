// The privileged handle's requests that set trigger edges and arm or disarm
// the four interrupt channels.
#include "control/control.h"
#include "events/events.h"

namespace {

BOOLEAN RequestIsPrivileged(WDFREQUEST Request)
{
    return GetFileContext(WdfRequestGetFileObject(Request))->Privileged;
}

// The channel index 0..3 that an event type names, or MDX_INT_CHANNELS.
ULONG ChannelOfEventType(ULONG EventType)
{
    ULONG channel = EventTypeToChannel(EventType) - 1;
    return channel < MDX_INT_CHANNELS ? channel : MDX_INT_CHANNELS;
}

// The privileged handle's check and the input of at least Minimum bytes,
// common to the configuration requests.
NTSTATUS TakeConfigurationInput(WDFREQUEST Request, ULONG Minimum, PVOID* Input)
{
    if (!RequestIsPrivileged(Request))
        return ERR_NOT_PRIVILEGED;
    return WdfRequestRetrieveInputBuffer(Request, Minimum, Input, nullptr);
}

}  // namespace

NTSTATUS HandleSetTriggerEdges(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                               ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                               PULONG ByteCount)
{
    PVOID input;
    NTSTATUS status = TakeConfigurationInput(Request, InputLength, &input);
    if (!NT_SUCCESS(status))
        return status;
    if (InputLength < MDX_SET_EDGES_HEAD)
        return ERR_OUT_OF_RANGE;
    ULONG start = InputULong(input, 4);
    ULONG count = InputULong(input, 8);
    if (count > InputLength - MDX_SET_EDGES_HEAD)
        return ERR_OUT_OF_RANGE;
    if (start > MDX_INT_CHANNELS || count > MDX_INT_CHANNELS - start)
        return ERR_OUT_OF_RANGE;
    const UCHAR* edges = (const UCHAR*)input + MDX_SET_EDGES_HEAD;
    for (ULONG j = 0; j < count; ++j)
        WriteUCharNoFence(&DeviceExtension->Shared->DiintTrigEdge[start + j], edges[j]);
    return STATUS_SUCCESS;
}

NTSTATUS HandleEnableDiInterrupt(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                 ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                 PULONG ByteCount)
{
    PVOID input;
    NTSTATUS status = TakeConfigurationInput(Request, sizeof(ENABLE_DI_INTERRUPT_INPUT), &input);
    if (!NT_SUCCESS(status))
        return status;
    ULONG eventType = InputULong(input, 0);
    ULONG scanStart = InputULong(input, 4);
    ULONG scanCount = InputULong(input, 8);
    if (scanStart >= MDX_INPUT_PORTS || scanCount > MDX_INPUT_PORTS)
        return ERR_OUT_OF_RANGE;
    ULONG channel = ChannelOfEventType(eventType);
    if (channel >= MDX_INT_CHANNELS)
        return ERR_EVENT_UNSUPPORTED;

    const BOARD_PORT_RANGE* ports = &DeviceExtension->Ports;
    SHARED_BLOCK* shared = DeviceExtension->Shared;
    UCHAR enable = ReadBoardRegister(ports, BOARD_REG_INT_ENABLE);
    UCHAR edge = ReadBoardRegister(ports, BOARD_REG_TRIGGER_EDGE);

    ResetEventSlot(DeviceExtension, channel + 1);
    WriteULongNoFence(&shared->IntPending[channel], 0);
    WriteUCharNoFence(&shared->DiintChannel[channel].ScanStart, (UCHAR)scanStart);
    WriteUCharNoFence(&shared->DiintChannel[channel].ScanCount, (UCHAR)scanCount);

    UCHAR bit = (UCHAR)(1u << channel);
    enable |= bit;
    edge &= (UCHAR)~bit;
    if (ReadUCharNoFence(&shared->DiintTrigEdge[channel]) != 1)
        edge |= bit;

    WdfInterruptAcquireLock(DeviceExtension->InterruptObject);
    WriteBoardRegister(ports, BOARD_REG_TRIGGER_EDGE, edge);
    WriteBoardRegister(ports, BOARD_REG_INT_ENABLE, enable);
    WdfInterruptReleaseLock(DeviceExtension->InterruptObject);
    return STATUS_SUCCESS;
}

NTSTATUS HandleDisableDiInterrupt(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request,
                                  ULONG OutputLength, ULONG InputLength, ULONG IoControlCode,
                                  PULONG ByteCount)
{
    PVOID input;
    NTSTATUS status = TakeConfigurationInput(Request, sizeof(DISABLE_DI_INTERRUPT_INPUT), &input);
    if (!NT_SUCCESS(status))
        return status;
    ULONG channel = ChannelOfEventType(InputULong(input, 0));
    if (channel >= MDX_INT_CHANNELS)
        return ERR_EVENT_UNSUPPORTED;
    UCHAR enable = ReadBoardRegister(&DeviceExtension->Ports, BOARD_REG_INT_ENABLE);
    enable &= (UCHAR)~(1u << channel);
    WdfInterruptAcquireLock(DeviceExtension->InterruptObject);
    WriteBoardRegister(&DeviceExtension->Ports, BOARD_REG_INT_ENABLE, enable);
    WdfInterruptReleaseLock(DeviceExtension->InterruptObject);
    return STATUS_SUCCESS;
}
