// Waiting for interrupts and the general event, and the per-board callback
// thread.
#include <chrono>
#include <cstring>
#include <vector>

#include "board.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;
using kor::SlotUse;

constexpr bool IsChannelSlot(unsigned slot) { return slot != kor::kGeneralSlot; }

// Milliseconds left until the deadline, for the platform's wait.
uint32_t Remaining(uint32_t timeoutMs, Clock::time_point deadline)
{
    if (timeoutMs == KOR_INFINITE)
        return um::kInfinite;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left >= static_cast<long long>(um::kInfinite) ? um::kInfinite - 1 : static_cast<uint32_t>(left);
}

// Why a waiter must stop waiting, with the lock held; KOR_OK to go on.
kor_status WaitRefused(const kor_board& board, unsigned slot)
{
    if (board.closed)
        return KOR_E_BAD_HANDLE;
    if (board.slotUse[slot] == SlotUse::Callback)
        return KOR_E_CALLBACK_ACTIVE;
    return KOR_OK;
}

// Waits on one slot of the handle. A channel's interrupt is taken through its
// pending flag, which also tells of interrupts that came before the wait; the
// event only says when to look again.
kor_status WaitSlot(kor_board& board, Lock& lock, unsigned slot, uint32_t timeoutMs, uint8_t snapshot[4])
{
    const uint32_t channel = slot - 1;
    kor_status status = WaitRefused(board, slot);
    if (status < 0)
        return status;
    if (IsChannelSlot(slot) && !board.shared.present())
        return KOR_E_NO_MAPPING;
    status = kor::PrepareWaitSlot(board, slot);
    if (status < 0)
        return status;

    const Clock::time_point deadline =
        timeoutMs == KOR_INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    const um::HANDLE event = board.waitEvents[slot];
    ++board.waiters[slot];
    bool signalled = false;
    bool timedOut = false;
    for (;;) {
        status = WaitRefused(board, slot);
        if (status < 0)
            break;
        if (IsChannelSlot(slot) ? kor::TakeInterrupt(board, channel, snapshot) : signalled)
            break;
        if (timedOut) {
            status = KOR_E_TIMEOUT;
            break;
        }
        const uint32_t wait = Remaining(timeoutMs, deadline);
        lock.unlock();
        const uint32_t result = um::WaitForSingleObject(event, wait);
        lock.lock();
        if (result == um::kWaitObject0) {
            signalled = true;
        } else if (result == um::kWaitTimeout) {
            timedOut = true;  // one more look at the flag first
        } else {
            status = static_cast<kor_status>(result);
            break;
        }
    }
    --board.waiters[slot];
    // A waiter sent away by a close or a callback passes the wake-up on to
    // the next waiter of its slot.
    if ((status == KOR_E_BAD_HANDLE || status == KOR_E_CALLBACK_ACTIVE) && board.waiters[slot] > 0)
        um::SetEvent(event);
    board.changed.notify_all();
    return status;
}

struct Delivery {
    uint32_t channel;
    uint8_t snapshot[MDX_INPUT_PORTS];
};

// The board's callback thread: takes the interrupts of every channel that has
// a callback each time their shared event is set, and calls the callbacks
// without the board's lock.
void CallbackLoop(kor_board& board)
{
    // A thread that cannot reach the board's event from where it runs is
    // told to kor_set_callback at once, not found out at the first interrupt.
    uint32_t result = um::WaitForSingleObject(board.callbackEvent, 0);
    Lock lock(board.mutex);
    board.callbackThreadId = std::this_thread::get_id();
    if (result != um::kWaitObject0 && result != um::kWaitTimeout) {
        board.threadState = kor::ThreadState::Failed;
        board.threadStatus = static_cast<kor_status>(result);
        board.changed.notify_all();
        return;
    }
    board.threadState = kor::ThreadState::Running;
    board.changed.notify_all();
    std::vector<Delivery> deliveries;
    while (!board.stopping) {
        lock.unlock();
        result = um::WaitForSingleObject(board.callbackEvent, um::kInfinite);
        lock.lock();
        if (board.stopping)
            break;
        if (result != um::kWaitObject0) {
            // The handle is gone (the process is ending): nothing more comes.
            board.threadState = kor::ThreadState::Failed;
            board.threadStatus = static_cast<kor_status>(result);
            break;
        }
        deliveries.clear();
        for (uint32_t channel = 0; channel < MDX_INT_CHANNELS; ++channel) {
            Delivery delivery{channel, {}};
            if (board.slotUse[kor::SlotOfChannel(channel)] == SlotUse::Callback &&
                kor::TakeInterrupt(board, channel, delivery.snapshot))
                deliveries.push_back(delivery);
        }
        for (const Delivery& delivery : deliveries) {
            // The callback in force when the call is made: one stopped
            // meanwhile receives nothing.
            kor::ChannelCallback callback = board.callbacks[delivery.channel];
            if (board.stopping || !callback.function)
                continue;
            board.runningChannel = static_cast<int>(delivery.channel);
            lock.unlock();
            callback.function(&board, delivery.channel, delivery.snapshot, callback.context);
            lock.lock();
            board.runningChannel = -1;
            board.changed.notify_all();
        }
    }
    board.changed.notify_all();
}

// Starts the board's callback thread unless it runs; its failure to start,
// or an earlier failure of it, is the status.
kor_status EnsureCallbackThread(kor_board& board, Lock& lock)
{
    board.changed.wait(lock, [&] { return board.threadState != kor::ThreadState::Starting; });
    if (board.closed)
        return KOR_E_BAD_HANDLE;
    if (board.threadState == kor::ThreadState::Running)
        return KOR_OK;
    if (board.threadState == kor::ThreadState::Failed)
        return board.threadStatus;
    if (!board.callbackEvent) {
        um::HANDLE event = nullptr;
        um::NTSTATUS status = um::CreateEvent(false, false, &event);
        if (status < 0)
            return status;
        board.callbackEvent = event;
    }
    board.threadState = kor::ThreadState::Starting;
    um::HANDLE thread = nullptr;
    um::NTSTATUS started = um::CreateThread(
        [](void* argument) { CallbackLoop(*static_cast<kor_board*>(argument)); }, &board, &thread);
    if (started < 0) {
        board.threadState = kor::ThreadState::None;
        return started;
    }
    board.callbackThread = thread;
    board.changed.wait(lock, [&] { return board.threadState != kor::ThreadState::Starting; });
    if (board.closed)
        return KOR_E_BAD_HANDLE;  // the close has taken the thread over
    if (board.threadState == kor::ThreadState::Failed) {
        // Joined here so that a later kor_close finds nothing to stop; the
        // thread has returned or is about to.
        um::HANDLE ended = board.callbackThread;
        board.callbackThread = nullptr;
        lock.unlock();
        um::WaitForSingleObject(ended, um::kInfinite);
        um::CloseHandle(ended);
        lock.lock();
        board.threadState = kor::ThreadState::None;
        return board.threadStatus;
    }
    return KOR_OK;
}

kor_status StartCallback(kor_board& board, Lock& lock, uint32_t channel, kor_interrupt_callback function,
                         void* context)
{
    if (!board.shared.present())
        return KOR_E_NO_MAPPING;
    kor_status status = EnsureCallbackThread(board, lock);
    if (status < 0)
        return status;
    if (board.closed)
        return KOR_E_BAD_HANDLE;
    const unsigned slot = kor::SlotOfChannel(channel);
    if (board.slotUse[slot] != SlotUse::Callback) {
        status = kor::RegisterSlot(board, slot, board.callbackEvent);
        if (status < 0)
            return status;
        board.slotUse[slot] = SlotUse::Callback;
        if (board.waiters[slot] > 0)
            um::SetEvent(board.waitEvents[slot]);  // they leave with KOR_E_CALLBACK_ACTIVE
    }
    board.callbacks[channel] = {function, context};
    // An interrupt already pending is delivered without waiting for another.
    um::SetEvent(board.callbackEvent);
    return KOR_OK;
}

kor_status StopCallback(kor_board& board, Lock& lock, uint32_t channel)
{
    const unsigned slot = kor::SlotOfChannel(channel);
    if (board.slotUse[slot] != SlotUse::Callback)
        return KOR_OK;
    kor_status status = kor::UnregisterSlot(board, slot);
    if (status < 0)
        return status;
    board.slotUse[slot] = SlotUse::None;
    board.callbacks[channel] = {};
    if (std::this_thread::get_id() != board.callbackThreadId)
        board.changed.wait(lock, [&] { return board.runningChannel != static_cast<int>(channel); });
    return KOR_OK;
}

}  // namespace

extern "C" kor_status kor_wait_interrupt(kor_board* handle, uint32_t channel, uint32_t timeout_ms,
                                         uint8_t snapshot[4])
{
    if (channel >= MDX_INT_CHANNELS)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock& lock) {
        return WaitSlot(board, lock, kor::SlotOfChannel(channel), timeout_ms, snapshot);
    });
}

extern "C" kor_status kor_wait_general_event(kor_board* handle, uint32_t timeout_ms)
{
    return kor::WithBoard(handle, [&](kor_board& board, Lock& lock) {
        return WaitSlot(board, lock, kor::kGeneralSlot, timeout_ms, nullptr);
    });
}

extern "C" kor_status kor_set_callback(kor_board* handle, uint32_t channel, kor_interrupt_callback cb,
                                       void* context)
{
    if (channel >= MDX_INT_CHANNELS)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock& lock) {
        return cb ? StartCallback(board, lock, channel, cb, context) : StopCallback(board, lock, channel);
    });
}
