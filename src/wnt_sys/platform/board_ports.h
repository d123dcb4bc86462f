// The MDX-4208's registers as the driver uses them, reached through the HAL
// at the start of the board's port range. All registers are 8 bits wide;
// bit i of the last three belongs to interrupt channel i.
#pragma once

#include "nt_kernel.h"

#define BOARD_REG_INPUT_PORT0   0u   // input ports 0..3 at offsets 0..3
#define BOARD_REG_BOARD_ID      4u   // bits 0..3: the board-ID switch
#define BOARD_REG_INT_ENABLE    8u   // 1 arms the channel
#define BOARD_REG_TRIGGER_EDGE  12u  // 0 when the channel's edge setting is 1
#define BOARD_REG_INT_STATUS    16u  // latched interrupts, write ones to clear

#define BOARD_BOARD_ID_MASK     0x0Fu
#define BOARD_CHANNEL_MASK      0x0Fu
#define BOARD_REGS_SPAN         (BOARD_REG_INT_STATUS + 1u)  // ports the driver needs

static_assert(BOARD_REG_BOARD_ID == BOARD_REG_INPUT_PORT0 + 4, "board ID follows the inputs");
static_assert(BOARD_REGS_SPAN == 17, "the registers end at offset 16");

// The port range found at hardware preparation. The driver keeps it where user
// mode cannot reach; every register access goes through it.
typedef struct _BOARD_PORT_RANGE {
    ULONG Base;
    ULONG Length;
} BOARD_PORT_RANGE, *PBOARD_PORT_RANGE;

// True when an access of Width bytes at the absolute Port lies in the range;
// computed without wrap-around.
inline BOOLEAN PortRangeContains(const BOARD_PORT_RANGE* Range, ULONG Port, ULONG Width)
{
    if (Port < Range->Base)
        return FALSE;
    ULONG offset = Port - Range->Base;
    return offset <= Range->Length && Width <= Range->Length - offset;
}

inline PUCHAR BoardPort(const BOARD_PORT_RANGE* Range, ULONG Offset)
{
    return (PUCHAR)(ULONG_PTR)(Range->Base + Offset);
}

inline UCHAR ReadBoardRegister(const BOARD_PORT_RANGE* Range, ULONG Offset)
{
    return READ_PORT_UCHAR(BoardPort(Range, Offset));
}

inline VOID WriteBoardRegister(const BOARD_PORT_RANGE* Range, ULONG Offset, UCHAR Value)
{
    WRITE_PORT_UCHAR(BoardPort(Range, Offset), Value);
}
