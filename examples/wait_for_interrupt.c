/* Opens the first board, arms interrupt channel 0 for rising edges and waits
 * for a few of its interrupts, printing the input ports that the driver
 * snapshotted at each one. Uses nothing but kor4208.h. */
#include <stdio.h>

#include "kor4208.h"

#define INTERRUPTS 3
#define TIMEOUT_MS 5000u

static int fail(const char* what, kor_status status)
{
    fprintf(stderr, "%s: %s (%s)\n", what, kor_status_text(status), kor_status_name(status));
    return 1;
}

int example_main(void)
{
    kor_board_info info;
    uint32_t count = 0;
    kor_status status = kor_list_boards(&info, 1, &count);
    if (status < 0)
        return fail("kor_list_boards", status);
    if (count == 0) {
        fprintf(stderr, "no board found\n");
        return 1;
    }
    printf("board %u at %s, ports 0x%X..0x%X, interrupt %u\n", (unsigned)info.board_number, info.location,
           (unsigned)info.port_base, (unsigned)(info.port_base + info.port_length - 1), (unsigned)info.interrupt);

    kor_board* board = NULL;
    status = kor_open(info.board_number, KOR_OPEN_PRIVILEGED, &board);
    if (status < 0)
        return fail("kor_open", status);

    int result = 0;
    status = kor_arm(board, 0, KOR_EDGE_RISING, 0, 4);
    if (status < 0) {
        result = fail("kor_arm", status);
    } else {
        for (int i = 0; i < INTERRUPTS; ++i) {
            uint8_t snapshot[4];
            status = kor_wait_interrupt(board, 0, TIMEOUT_MS, snapshot);
            if (status < 0) {
                result = fail("kor_wait_interrupt", status);
                break;
            }
            printf("interrupt %d on channel 0: ports %02X %02X %02X %02X\n", i + 1, snapshot[0], snapshot[1],
                   snapshot[2], snapshot[3]);
        }
        status = kor_disarm(board, 0);
        if (status < 0 && result == 0)
            result = fail("kor_disarm", status);
    }
    status = kor_close(board);
    if (status < 0 && result == 0)
        result = fail("kor_close", status);
    return result;
}
