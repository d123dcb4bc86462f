/*
 * kor4208: the client library of the MDX-4208 digital-input board.
 *
 * An application finds the boards in the machine, opens one by its board
 * number, reads its 32 digital inputs (four 8-bit ports), reads and writes any
 * port of its I/O range, arms its four interrupt channels and waits for their
 * interrupts, either by blocking calls or through a callback, and keeps
 * settings in the board's registry record.
 *
 * Statuses. Every call returns a kor_status, an NTSTATUS: KOR_OK (0) on
 * success, a negative value on failure. A status that the driver or the
 * platform returns is passed up unchanged (the driver's values lie in
 * 0xE0000001..0xE0000010, the platform's in 0x8xxxxxxx and 0xCxxxxxxx); the
 * library's own failures are the KOR_E_* values below, 0xE0010001 onward.
 * kor_status_text() and kor_status_name() describe any of them. Arguments the
 * library can judge by itself (null pointers, channel and port indices,
 * widths, counts beyond the board) are refused with KOR_E_INVALID_ARGUMENT
 * before anything is sent; what only the driver can judge (an address outside
 * the board's range, a request that needs the privileged handle) comes back as
 * the driver's status. A failed call changes nothing it was asked to change,
 * except where a function says otherwise.
 *
 * Threads. Every function may be called from any thread of the process, also
 * on one board from several threads at once. Each board has one lock; it is
 * held for the length of one driver request and never while a call waits for
 * an interrupt. Several processes may open the same board as the driver
 * allows: any number of shared handles and at most one privileged handle.
 *
 * Interrupts. The driver raises a channel's pending flag in the board's shared
 * block when the channel interrupts and sets the events of every open handle
 * only when the flag was down; whoever takes the interrupt lowers the flag to
 * receive the next one. Interrupts that come while the flag is up are merged
 * into the one already pending. The flag belongs to the board, not to a
 * handle: when several handles or processes wait on one channel, each
 * interrupt is taken by exactly one of them.
 */
#ifndef KOR4208_H
#define KOR4208_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Statuses ------------------------------------------------------------ */

typedef int32_t kor_status; /* an NTSTATUS: negative is a failure */

#define KOR_OK ((kor_status)0)

/* The library's own failures: failure severity, customer bit set, facility 1. */
#define KOR_E_INVALID_ARGUMENT ((kor_status)0xE0010001u) /* null pointer, channel > 3, width not 1/2/4, ... */
#define KOR_E_NO_SUCH_BOARD    ((kor_status)0xE0010002u) /* no started board has that number */
#define KOR_E_TIMEOUT          ((kor_status)0xE0010003u) /* a wait ran out */
#define KOR_E_BAD_HANDLE       ((kor_status)0xE0010004u) /* a closed or foreign kor_board */
#define KOR_E_NO_MAPPING       ((kor_status)0xE0010005u) /* the driver gave this handle no mapping of the block */
#define KOR_E_CALLBACK_ACTIVE  ((kor_status)0xE0010006u) /* waiting on a channel that a callback serves */
#define KOR_E_IN_CALLBACK      ((kor_status)0xE0010007u) /* kor_close from inside the board's own callback */
#define KOR_E_BUFFER_TOO_SMALL ((kor_status)0xE0010008u) /* the caller's buffer cannot hold the result */
#define KOR_E_BAD_REPLY        ((kor_status)0xE0010009u) /* the driver answered with an unexpected length */
#define KOR_E_NO_RESOURCES     ((kor_status)0xE001000Au) /* no memory, or the library's thread could not start */

/* A clear English text for every status the library can return: its own, the
 * driver's and the platform's. Unknown values give "unknown status 0x%08X".
 * The text is static, or for unknown values lives in a buffer of the calling
 * thread that the thread's next call for an unknown value replaces. */
const char* kor_status_text(kor_status status);
/* The symbolic name ("KOR_E_TIMEOUT", "ERR_OUT_OF_RANGE", "STATUS_ACCESS_DENIED");
 * "0x%08X" for unknown values, under the same rule as kor_status_text. */
const char* kor_status_name(kor_status status);

/* ---- Finding boards -------------------------------------------------------- */

typedef struct kor_board_info {
    uint32_t board_number; /* 0..1023, stays with the board across restarts */
    uint32_t product_id;   /* 0x88 for an MDX-4208 */
    uint32_t board_id;     /* the board-ID switch, 0..15 (0: none set) */
    uint32_t bus;          /* PCI bus number */
    uint32_t slot;         /* PCI device number */
    uint32_t port_base;    /* first port of the board's I/O range */
    uint32_t port_length;  /* length of the range in bytes */
    uint32_t interrupt;    /* interrupt level */
    char location[128];    /* UTF-8, as kor_get_location gives it */
    char device_path[256]; /* UTF-8 user-mode path of the board's device interface */
} kor_board_info;

/* *count receives the number of started boards; the first min(capacity, *count)
 * of them, sorted by board number, are written to boards (which may be NULL
 * when capacity is 0). Each board is opened briefly with a shared handle to
 * read its identity. A board whose location or path does not fit its field
 * fails the call with KOR_E_BUFFER_TOO_SMALL. */
kor_status kor_list_boards(kor_board_info* boards, uint32_t capacity, uint32_t* count);

/* ---- Opening and closing ---------------------------------------------------- */

typedef struct kor_board kor_board;

/* A shared handle reads inputs and ports, writes ports, waits for interrupts
 * and uses the registry record. The privileged handle, one per board at a
 * time, may in addition set trigger edges and arm and disarm channels; a
 * second privileged open fails with the driver's ERR_PRIVILEGE_IN_USE. */
#define KOR_OPEN_SHARED 0
#define KOR_OPEN_PRIVILEGED 1

/* Opens the started board with that board number. KOR_E_NO_SUCH_BOARD when
 * there is none; KOR_E_NO_MAPPING when a board could not be identified because
 * the driver gave no mapping of its shared block and no other board matched.
 * A board opened without a mapping (possible for the privileged handle) works
 * for every request but kor_wait_interrupt, kor_set_callback and
 * kor_read_shared, which give KOR_E_NO_MAPPING. */
kor_status kor_open(uint32_t board_number, int mode, kor_board** board);

/* Stops the board's callback thread, waiting for a callback that is running,
 * wakes every thread waiting on the board (their calls return
 * KOR_E_BAD_HANDLE), and closes the handle. Closing the privileged handle
 * disarms every channel of the board and gives the privileged role back; so
 * does the end of the process. After kor_close the kor_board is invalid: any
 * call with it returns KOR_E_BAD_HANDLE. Calling kor_close on a board from
 * inside that board's callback is refused with KOR_E_IN_CALLBACK. */
kor_status kor_close(kor_board* board);

/* ---- Inputs and ports ----------------------------------------------------- */

/* The four input ports, each XOR its inversion mask (applied by the driver). */
kor_status kor_read_inputs(kor_board* board, uint8_t ports[4]);
/* count bytes of input ports from port start (0..3) on, cycling 3 -> 0: byte j
 * is port (start + j) mod 4, masked. A count of 0 reads nothing (out may then
 * be NULL). */
kor_status kor_read_ports(kor_board* board, uint32_t start, uint32_t count, uint8_t* out);
/* Raw access of width 1, 2 or 4 bytes at an absolute port address inside the
 * board's range (port_base .. port_base + port_length - 1); an address outside
 * it gives the driver's ERR_OUT_OF_RANGE. Values are little-endian. */
kor_status kor_port_read(kor_board* board, uint32_t port, uint32_t width, uint32_t* value);
kor_status kor_port_write(kor_board* board, uint32_t port, uint32_t width, uint32_t value);

/* ---- Interrupt channels (0..3) ---------------------------------------------- */

#define KOR_EDGE_RISING 1  /* the driver's edge value 1 (clears the edge bit) */
#define KOR_EDGE_FALLING 0 /* any other value */

/* Stores edges[0..count-1] as the edges of channels first .. first + count - 1
 * (first + count at most 4). A new edge reaches the board when the channel is
 * next armed. Privileged handle only. */
kor_status kor_set_trigger_edges(kor_board* board, uint32_t first, uint32_t count, const uint8_t* edges);
/* Sets the channel's edge, then arms it: its pending flag is lowered, the
 * events of every handle for it are reset, and from then on each of its edges
 * latches an interrupt. On each interrupt the driver snapshots the four input
 * ports (raw, without masks) when scan_count is not 0. scan_start 0..3 and
 * scan_count 0..4 are published in the shared block. Privileged handle only;
 * if arming fails after the edge was stored, the previous edge is put back. */
kor_status kor_arm(kor_board* board, uint32_t channel, uint8_t edge, uint32_t scan_start, uint32_t scan_count);
/* Disarms the channel; its pending flag and snapshot stay as they are.
 * Privileged handle only. */
kor_status kor_disarm(kor_board* board, uint32_t channel);

#define KOR_INFINITE 0xFFFFFFFFu

/* Waits up to timeout_ms (KOR_INFINITE: for ever, 0: only looks) for the
 * channel's interrupt and takes it: lowers the channel's pending flag, so that
 * the next interrupt is reported again, then copies the channel's snapshot,
 * which is the one the driver took at that interrupt or at a later one. An
 * interrupt that came before the call (also before the first wait) is not lost:
 * the call returns at once. The first wait on a channel registers an event for
 * it with the driver. KOR_E_TIMEOUT when nothing came; KOR_E_CALLBACK_ACTIVE
 * when a callback serves the channel, also for a wait in progress when the
 * callback is set; KOR_E_BAD_HANDLE when the board is closed meanwhile.
 * snapshot may be NULL. Works with a shared handle: the privileged one arms. */
kor_status kor_wait_interrupt(kor_board* board, uint32_t channel, uint32_t timeout_ms, uint8_t snapshot[4]);

/* Callback mode. The first kor_set_callback of a board starts one library
 * thread for that board, which lives until kor_close. It calls cb(board,
 * channel, snapshot, context) once for each interrupt it takes on a channel
 * that has a callback, one call at a time, in the order it finds them; an
 * interrupt already pending when the callback is set is delivered too. The
 * callback may call any function of the library, also on this board, except
 * kor_close on this board (KOR_E_IN_CALLBACK); a callback that blocks holds
 * up the board's other callbacks and kor_close. The snapshot pointer is valid
 * only during the call.
 * Setting a callback replaces the channel's previous one; waits in progress on
 * the channel end with KOR_E_CALLBACK_ACTIVE. A NULL cb stops the channel's
 * callbacks: once it returns, the channel's callback is not running and will
 * not run again (unless it is called from that very callback, which then
 * finishes on its own), and the channel can be waited on again. */
typedef void (*kor_interrupt_callback)(kor_board* board, uint32_t channel, const uint8_t snapshot[4],
                                       void* context);
kor_status kor_set_callback(kor_board* board, uint32_t channel, kor_interrupt_callback cb, void* context);

/* The general event: kor_signal_general_event sets it on every open handle of
 * the board, of every process; kor_wait_general_event waits for it on this
 * handle (the first wait registers an event; signals sent before that are not
 * seen). Several signals before a wait count as one. */
kor_status kor_signal_general_event(kor_board* board);
kor_status kor_wait_general_event(kor_board* board, uint32_t timeout_ms);

/* ---- The shared block -------------------------------------------------------- */

/* A copy of the caller's mapping of the board's shared block. User mode and
 * the driver write the block concurrently; each 32-bit word is read with one
 * atomic load, so each field (and each group of four bytes) is whole, but the
 * fields may come from different moments. */
typedef struct kor_shared_view {
    uint32_t size, product_id, board_number, board_id, bus, slot, interrupt_level, base_address,
        port_length, init_on_load;
    uint8_t trig_edge[4], inverse_ports[4];
    uint8_t scan_start[4], scan_count[4];
    uint8_t snapshot[4][4]; /* [channel][port] */
    uint32_t int_status;
    uint32_t int_pending[4];
} kor_shared_view;
kor_status kor_read_shared(kor_board* board, kor_shared_view* view);

/* ---- The board's registry record -------------------------------------------- */

/* Registry type codes for kor_write_value. */
#define KOR_REG_SZ 1u
#define KOR_REG_EXPAND_SZ 2u
#define KOR_REG_BINARY 3u
#define KOR_REG_DWORD 4u
#define KOR_REG_MULTI_SZ 7u

/* Reads a value of the board's device key into data (capacity bytes); *length
 * (may be NULL) receives the stored length. The bytes come as stored, whatever
 * the type. A value that does not fit gives the platform's
 * STATUS_BUFFER_OVERFLOW, a capacity of 0 the driver's ERR_NULL_ARGUMENT.
 * Names are UTF-8; the key's default value has the empty name. */
kor_status kor_read_value(kor_board* board, const char* name, void* data, uint32_t capacity, uint32_t* length);
/* Creates or replaces a value with the type and bytes given. The name has at
 * most 63 UTF-16 characters (KOR_E_INVALID_ARGUMENT otherwise). The settings
 * the driver reads from the record (InitOnLoad, DiintTrigEdge, DiInversePorts)
 * take effect at the board's next start, not in the shared block now. */
kor_status kor_write_value(kor_board* board, const char* name, uint32_t type, const void* data, uint32_t length);
/* The location the bus reports for the board ("PCI bus 2, device 14, function
 * 0"), UTF-8 with its NUL; KOR_E_BUFFER_TOO_SMALL when capacity cannot hold it. */
kor_status kor_get_location(kor_board* board, char* text, uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* KOR4208_H */
