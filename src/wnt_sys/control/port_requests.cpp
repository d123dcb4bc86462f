// Raw port reads and writes inside the board's range, and the run of input
// ports with their inversion masks.
#include "control/control.h"

NTSTATUS HandleReadPort(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request, ULONG OutputLength,
                        ULONG InputLength, ULONG IoControlCode, PULONG ByteCount)
{
    if (InputLength < sizeof(READ_PORT_INPUT))
        return ERR_BUFFER_TOO_SMALL;
    ULONG width = OutputLength;
    if (width == 0)
        return ERR_BUFFER_TOO_SMALL;
    if (width > sizeof(ULONG))
        return ERR_TOO_LONG;
    PVOID input;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(READ_PORT_INPUT), &input, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ULONG port = InputULong(input, 0);
    if (!PortRangeContains(&DeviceExtension->Ports, port, width))
        return ERR_OUT_OF_RANGE;
    PVOID output;
    status = WdfRequestRetrieveOutputBuffer(Request, width, &output, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ULONG value;
    switch (width) {
    case 1: value = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)port); break;
    case 2: value = READ_PORT_USHORT((PUSHORT)(ULONG_PTR)port); break;
    case 4: value = READ_PORT_ULONG((PULONG)(ULONG_PTR)port); break;
    default: return ERR_UNSUPPORTED;
    }
    RtlCopyMemory(output, &value, width);
    *ByteCount = width;
    return STATUS_SUCCESS;
}

NTSTATUS HandleWritePort(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request, ULONG OutputLength,
                         ULONG InputLength, ULONG IoControlCode, PULONG ByteCount)
{
    if (InputLength < sizeof(ULONG))
        return ERR_BUFFER_TOO_SMALL;
    PVOID input;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, InputLength, &input, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ULONG port = InputULong(input, 0);
    ULONG width = InputLength - sizeof(ULONG);
    if (!PortRangeContains(&DeviceExtension->Ports, port, width))
        return ERR_OUT_OF_RANGE;
    ULONG value = 0;
    if (width == 1 || width == 2 || width == 4)
        RtlCopyMemory(&value, (const UCHAR*)input + sizeof(ULONG), width);
    switch (width) {
    case 1: WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)port, (UCHAR)value); break;
    case 2: WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)port, (USHORT)value); break;
    case 4: WRITE_PORT_ULONG((PULONG)(ULONG_PTR)port, value); break;
    default: return ERR_UNSUPPORTED;
    }
    *ByteCount = width;
    return STATUS_SUCCESS;
}

NTSTATUS HandleReadDiPorts(PDEVICE_EXTENSION DeviceExtension, WDFREQUEST Request, ULONG OutputLength,
                           ULONG InputLength, ULONG IoControlCode, PULONG ByteCount)
{
    PVOID input;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(READ_DI_PORTS_INPUT), &input, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PVOID output;
    status = WdfRequestRetrieveOutputBuffer(Request, OutputLength, &output, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ULONG port = InputULong(input, 0);
    ULONG count = InputULong(input, 4);
    // Only input ports 0..3 are read, and never more bytes than the output holds.
    if (port >= MDX_INPUT_PORTS || count > OutputLength)
        return ERR_OUT_OF_RANGE;
    PUCHAR bytes = (PUCHAR)output;
    SHARED_BLOCK* shared = DeviceExtension->Shared;
    for (ULONG j = 0; j < count; ++j) {
        UCHAR value = ReadBoardRegister(&DeviceExtension->Ports, BOARD_REG_INPUT_PORT0 + port);
        bytes[j] = value ^ ReadUCharNoFence(&shared->DiInversePorts[port]);
        port = (port + 1) & (MDX_INPUT_PORTS - 1);
    }
    *ByteCount = count;
    return STATUS_SUCCESS;
}
