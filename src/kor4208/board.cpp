// The live-board table, the request helpers, the mapping accessors, event
// slots, the thread binding and the close of a board.
#include <atomic>
#include <cstring>
#include <unordered_map>

#include "board.h"

namespace kor {

namespace {

struct BoardTable {
    std::mutex mutex;
    std::unordered_map<const kor_board*, std::shared_ptr<kor_board>> live;
};

BoardTable& Table()
{
    static auto* table = new BoardTable();  // outlives every board, also at exit
    return *table;
}


}  // namespace

kor_board* Adopt(std::shared_ptr<kor_board> board)
{
    BoardTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    kor_board* handle = board.get();
    table.live.emplace(handle, std::move(board));
    return handle;
}

std::shared_ptr<kor_board> Find(const kor_board* handle)
{
    BoardTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.live.find(handle);
    return it == table.live.end() ? nullptr : it->second;
}

std::shared_ptr<kor_board> Remove(const kor_board* handle)
{
    BoardTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.live.find(handle);
    if (it == table.live.end())
        return nullptr;
    std::shared_ptr<kor_board> board = std::move(it->second);
    table.live.erase(it);
    return board;
}

kor_status ControlCounted(um::HANDLE device, uint32_t code, const void* input, uint32_t inputLength,
                          void* output, uint32_t outputLength, uint32_t* bytes)
{
    *bytes = 0;
    um::NTSTATUS status = um::DeviceIoControl(device, code, input, inputLength, output, outputLength, bytes);
    if (status < 0)
        return status;
    // The count says how much of the output is filled: never more than it.
    if (*bytes > outputLength)
        return KOR_E_BAD_REPLY;
    return KOR_OK;
}

kor_status Control(um::HANDLE device, uint32_t code, const void* input, uint32_t inputLength, void* output,
                   uint32_t outputLength, uint32_t expected)
{
    // Not ControlCounted: a write reports the bytes it wrote, with no output.
    uint32_t bytes = 0;
    um::NTSTATUS status = um::DeviceIoControl(device, code, input, inputLength, output, outputLength, &bytes);
    if (status < 0)
        return status;
    return bytes == expected ? KOR_OK : KOR_E_BAD_REPLY;
}

SharedMapping::SharedMapping(uint32_t userAddress)
    : base_(reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(userAddress)))
{
}

uint32_t* SharedMapping::Word(uint32_t offset) const
{
    return reinterpret_cast<uint32_t*>(base_ + offset);
}

uint32_t SharedMapping::Load(uint32_t offset) const
{
    return std::atomic_ref<uint32_t>(*Word(offset)).load(std::memory_order_acquire);
}

uint32_t SharedMapping::Exchange(uint32_t offset, uint32_t value) const
{
    return std::atomic_ref<uint32_t>(*Word(offset)).exchange(value, std::memory_order_acq_rel);
}

void SharedMapping::Store(uint32_t offset, uint32_t value) const
{
    std::atomic_ref<uint32_t>(*Word(offset)).store(value, std::memory_order_release);
}

void SharedMapping::LoadBytes(uint32_t offset, uint8_t* out, uint32_t count) const
{
    for (uint32_t i = 0; i < count; i += 4) {
        uint32_t word = Load(offset + i);
        for (uint32_t k = 0; k < 4 && i + k < count; ++k)
            out[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
}

kor_status QueryMapping(um::HANDLE device, SharedMapping* mapping)
{
    uint32_t address = 0;
    kor_status status = Control(device, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address, sizeof address,
                                sizeof address);
    if (status < 0)
        return status;
    *mapping = SharedMapping(address);
    return KOR_OK;
}

namespace {

kor_status SendSlotEntry(const kor_board& board, uint32_t code, unsigned slot, um::HANDLE event)
{
    EVENT_REG_ENTRY entry{};
    entry.EventType = kSlotEventType[slot];
    // Handles of the platform are 32-bit values, whatever the pointer width.
    entry.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    return Control(board.device, code, &entry, sizeof entry, nullptr, 0, 0);
}

}  // namespace

kor_status RegisterSlot(const kor_board& board, unsigned slot, um::HANDLE event)
{
    return SendSlotEntry(board, IOCTL_REGISTER_EVENTS, slot, event);
}

kor_status UnregisterSlot(const kor_board& board, unsigned slot)
{
    return SendSlotEntry(board, IOCTL_UNREGISTER_EVENTS, slot, nullptr);
}

kor_status PrepareWaitSlot(kor_board& board, unsigned slot)
{
    if (board.slotUse[slot] == SlotUse::Wait)
        return KOR_OK;
    if (!board.waitEvents[slot]) {
        um::HANDLE event = nullptr;
        um::NTSTATUS status = um::CreateEvent(false, false, &event);
        if (status < 0)
            return status;
        board.waitEvents[slot] = event;
    }
    kor_status status = RegisterSlot(board, slot, board.waitEvents[slot]);
    if (status < 0)
        return status;
    board.slotUse[slot] = SlotUse::Wait;
    return KOR_OK;
}

bool TakeInterrupt(const kor_board& board, uint32_t channel, uint8_t snapshot[4])
{
    const uint32_t pending = offsetof(SHARED_BLOCK, IntPending) + 4 * channel;
    if (board.shared.Load(pending) == 0 || board.shared.Exchange(pending, 0) == 0)
        return false;
    // Lowered first, read second: an interrupt that comes in between raises
    // the flag again and is taken by the next wait, never merged away.
    uint8_t bytes[MDX_INPUT_PORTS];
    board.shared.LoadBytes(offsetof(SHARED_BLOCK, DiSnapshot) + MDX_INPUT_PORTS * channel, bytes,
                           MDX_INPUT_PORTS);
    if (snapshot)
        std::memcpy(snapshot, bytes, sizeof bytes);
    return true;
}

}  // namespace kor

using kor::SlotUse;

extern "C" kor_status kor_close(kor_board* handle)
{
    if (!handle)
        return KOR_E_INVALID_ARGUMENT;
    return kor::Guarded([&]() -> kor_status {
        std::shared_ptr<kor_board> board = kor::Find(handle);
        if (!board)
            return KOR_E_BAD_HANDLE;
        {
            std::lock_guard<std::mutex> lock(board->mutex);
            if (board->closed)
                return KOR_E_BAD_HANDLE;
            if (board->threadState == kor::ThreadState::Running &&
                board->callbackThreadId == std::this_thread::get_id())
                return KOR_E_IN_CALLBACK;
        }
        if (!kor::Remove(handle))
            return KOR_E_BAD_HANDLE;  // another thread's close came first

        std::unique_lock<std::mutex> lock(board->mutex);
        board->closed = true;
        board->stopping = true;
        // Each waiter that leaves wakes the next one of its slot.
        for (unsigned slot = 0; slot < MDX_EVENT_SLOTS; ++slot)
            if (board->waiters[slot] > 0)
                um::SetEvent(board->waitEvents[slot]);
        if (board->callbackEvent)
            um::SetEvent(board->callbackEvent);
        board->changed.wait(lock, [&] {
            for (unsigned count : board->waiters)
                if (count > 0)
                    return false;
            return true;
        });
        um::HANDLE thread = board->callbackThread;
        board->callbackThread = nullptr;
        lock.unlock();
        if (thread) {
            um::WaitForSingleObject(thread, um::kInfinite);
            um::CloseHandle(thread);
        }

        kor_status status = um::CloseHandle(board->device);
        for (um::HANDLE event : board->waitEvents)
            if (event)
                um::CloseHandle(event);
        if (board->callbackEvent)
            um::CloseHandle(board->callbackEvent);
        return status < 0 ? status : KOR_OK;
    });
}
