// The library's private view of an open board: the handle, its mapping of the
// shared block, its event slots and its callback thread, and the table of live
// boards that tells a valid kor_board from a closed or foreign one.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "kor4208.h"
#include "public/mdx4208_wire.h"
#include "um/um.h"

namespace kor {

inline constexpr uint32_t kSharedAccess = um::kGenericRead | um::kFileWriteData;
inline constexpr uint32_t kPrivilegedAccess = kSharedAccess | MDX_PRIVILEGED_ACCESS;

// Event slots as the driver numbers them: 0 the general event, 1..4 the
// interrupt channels 0..3.
inline constexpr unsigned kGeneralSlot = 0;
constexpr unsigned SlotOfChannel(uint32_t channel) { return channel + 1; }
inline constexpr uint32_t kSlotEventType[MDX_EVENT_SLOTS] = {EVENT_GENERAL, EVENT_DI_INT0, EVENT_DI_INT1,
                                                            EVENT_DI_INT2, EVENT_DI_INT3};

// Sends one control request. A failure status comes back unchanged; a success
// whose byte count is not `expected` gives KOR_E_BAD_REPLY.
kor_status Control(um::HANDLE device, uint32_t code, const void* input, uint32_t inputLength, void* output,
                   uint32_t outputLength, uint32_t expected);
// As Control, for requests whose byte count varies: the count goes to *bytes.
kor_status ControlCounted(um::HANDLE device, uint32_t code, const void* input, uint32_t inputLength,
                          void* output, uint32_t outputLength, uint32_t* bytes);

// The caller's mapping of the shared block. The driver and other openers
// write it at any time, so every access is one atomic access of an aligned
// 32-bit word (the mapping starts on a page).
class SharedMapping {
public:
    SharedMapping() = default;
    explicit SharedMapping(uint32_t userAddress);
    bool present() const { return base_ != nullptr; }
    uint32_t Load(uint32_t offset) const;
    uint32_t Exchange(uint32_t offset, uint32_t value) const;
    void Store(uint32_t offset, uint32_t value) const;
    // Bytes of the field at `offset`, from the words that hold them.
    void LoadBytes(uint32_t offset, uint8_t* out, uint32_t count) const;

private:
    uint32_t* Word(uint32_t offset) const;
    uint8_t* base_ = nullptr;
};

// The location the bus reports for the device, as UTF-8.
kor_status QueryLocationText(um::HANDLE device, std::string* text);

// Asks the driver where this handle's mapping lies; a null address is a
// success with no mapping.
kor_status QueryMapping(um::HANDLE device, SharedMapping* mapping);

enum class SlotUse { None, Wait, Callback };

struct ChannelCallback {
    kor_interrupt_callback function = nullptr;
    void* context = nullptr;
};

enum class ThreadState { None, Starting, Running, Failed };

}  // namespace kor

struct kor_board {
    kor_board(um::HANDLE device, kor::SharedMapping shared) : device(device), shared(shared) {}
    kor_board(const kor_board&) = delete;
    kor_board& operator=(const kor_board&) = delete;

    std::mutex mutex;
    // Signalled when a waiter leaves, a callback returns or the thread's
    // state changes.
    std::condition_variable changed;
    bool closed = false;

    um::HANDLE const device;
    kor::SharedMapping const shared;

    // Per event slot: the auto-reset event this handle waits on, what the
    // driver holds in the slot, and how many threads are waiting on it.
    std::array<um::HANDLE, MDX_EVENT_SLOTS> waitEvents{};
    std::array<kor::SlotUse, MDX_EVENT_SLOTS> slotUse{};
    std::array<unsigned, MDX_EVENT_SLOTS> waiters{};

    // Callback mode: one event in the slot of every channel with a callback,
    // waited on by the board's thread.
    std::array<kor::ChannelCallback, MDX_INT_CHANNELS> callbacks{};
    um::HANDLE callbackEvent = nullptr;
    um::HANDLE callbackThread = nullptr;  // signalled when the callback thread has ended
    std::thread::id callbackThreadId;
    kor::ThreadState threadState = kor::ThreadState::None;
    kor_status threadStatus = KOR_OK;  // why the thread failed, or could not start
    bool stopping = false;
    int runningChannel = -1;  // the channel whose callback is being called
};

namespace kor {

// The table of live boards. A board stays allocated while a call holds it,
// so a call racing with kor_close never touches freed memory.
kor_board* Adopt(std::shared_ptr<kor_board> board);
std::shared_ptr<kor_board> Find(const kor_board* handle);
std::shared_ptr<kor_board> Remove(const kor_board* handle);

// Runs an API call's body, turning the exceptions of allocation and thread
// creation into a status: nothing thrown crosses the C interface.
template <class Body>
kor_status Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return KOR_E_NO_RESOURCES;
    } catch (const std::system_error&) {
        return KOR_E_NO_RESOURCES;
    }
}

// Runs `body(board, lock)` with the board's lock held, for a live board.
template <class Body>
kor_status WithBoard(kor_board* handle, Body&& body) noexcept
{
    if (!handle)
        return KOR_E_INVALID_ARGUMENT;
    return Guarded([&]() -> kor_status {
        std::shared_ptr<kor_board> board = Find(handle);
        if (!board)
            return KOR_E_BAD_HANDLE;
        std::unique_lock<std::mutex> lock(board->mutex);
        if (board->closed)
            return KOR_E_BAD_HANDLE;
        return body(*board, lock);
    });
}

// Puts `event` into the handle's slot, replacing what the driver held there,
// or empties the slot.
kor_status RegisterSlot(const kor_board& board, unsigned slot, um::HANDLE event);
kor_status UnregisterSlot(const kor_board& board, unsigned slot);

// Makes sure the slot holds this handle's wait event, creating it on first use.
kor_status PrepareWaitSlot(kor_board& board, unsigned slot);

// Takes the channel's pending interrupt if there is one: lowers the flag,
// then copies the snapshot. False when none was pending.
bool TakeInterrupt(const kor_board& board, uint32_t channel, uint8_t snapshot[4]);

// The binding that new library threads start with.

}  // namespace kor
