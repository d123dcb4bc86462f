// The client library as an application uses it, on a simulated machine whose
// interrupt and DPC threads run free: finding and opening boards, inputs and
// ports, interrupts by waiting and by callback, the registry record, statuses,
// concurrent use and stale handles.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/device_context.h"
#include "kor4208.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "registry/sim_registry.h"
#include "support/sim_test.h"
#include "wdf/interrupt.h"
#include "wdf/work_items.h"

namespace {

constexpr kor_status kBufferOverflow = static_cast<kor_status>(0x80000005u);
constexpr kor_status kNotFound = static_cast<kor_status>(0xC0000034u);
constexpr kor_status kInvalidHandle = static_cast<kor_status>(0xC0000008u);
constexpr uint32_t kLong = 10000;  // ms: a safety net for waits that must end, never a measure

std::vector<uint8_t> Vec(const uint8_t* bytes, size_t count) { return {bytes, bytes + count}; }

// Polls until `done` holds; false if it never does within the safety net.
bool Eventually(const std::function<bool()>& done)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLong);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Utf8(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class LibraryTest : public simtest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        number = machine->extension()->Shared->BoardNumber;
        machine->board().SetInputs(0xA4A3A2A1);
    }

    void TearDown() override
    {
        for (kor_board* board : opened)
            kor_close(board);
        DeviceTest::TearDown();
    }

    kor_board* OpenBoard(int mode)
    {
        kor_board* board = nullptr;
        EXPECT_EQ(kor_open(number, mode, &board), KOR_OK);
        Track(board);
        return board;
    }
    void Track(kor_board* board) { opened.insert(board); }
    kor_status Close(kor_board* board)
    {
        opened.erase(board);
        return kor_close(board);
    }

    uint32_t Pending(kor_board* board, uint32_t channel)
    {
        kor_shared_view view;
        EXPECT_EQ(kor_read_shared(board, &view), KOR_OK);
        return view.int_pending[channel];
    }

    uint32_t number = 0;
    std::set<kor_board*> opened;
};

TEST_F(LibraryTest, ListingDescribesTheStartedBoard)
{
    const SHARED_BLOCK* shared = machine->extension()->Shared;
    kor_board_info info[2];
    uint32_t count = 0;
    ASSERT_EQ(kor_list_boards(info, 2, &count), KOR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(info[0].board_number, number);
    EXPECT_EQ(info[0].product_id, 0x88u);
    EXPECT_EQ(info[0].bus, 2u);
    EXPECT_EQ(info[0].slot, 14u);
    EXPECT_EQ(info[0].port_base, Base());
    EXPECT_EQ(info[0].port_length, 32u);
    EXPECT_EQ(info[0].interrupt, shared->InterruptLevel);
    EXPECT_STREQ(info[0].location, "PCI bus 2, device 14, function 0");
    EXPECT_EQ(info[0].device_path, Utf8(machine->devicePath()));

    // Without room the count still comes back and nothing is written.
    count = 0;
    EXPECT_EQ(kor_list_boards(nullptr, 0, &count), KOR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(kor_list_boards(nullptr, 0, nullptr), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_list_boards(nullptr, 1, &count), KOR_E_INVALID_ARGUMENT);
    // The probes left no handle behind.
    EXPECT_EQ(process->HandleCount(), 0u);
}

TEST_F(LibraryTest, ThePrivilegedRoleIsOneHandlesUntilItCloses)
{
    kor_board* privileged = OpenBoard(KOR_OPEN_PRIVILEGED);
    kor_board* second = nullptr;
    EXPECT_EQ(kor_open(number, KOR_OPEN_PRIVILEGED, &second), ERR_PRIVILEGE_IN_USE);
    EXPECT_EQ(second, nullptr);
    kor_board* shared = OpenBoard(KOR_OPEN_SHARED);

    // Configuration needs the privileged handle; the driver says so.
    const uint8_t edge = KOR_EDGE_RISING;
    EXPECT_EQ(kor_arm(shared, 0, KOR_EDGE_RISING, 0, 4), ERR_NOT_PRIVILEGED);
    EXPECT_EQ(kor_disarm(shared, 0), ERR_NOT_PRIVILEGED);
    EXPECT_EQ(kor_set_trigger_edges(shared, 0, 1, &edge), ERR_NOT_PRIVILEGED);
    EXPECT_EQ(kor_arm(privileged, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);
    EXPECT_EQ(machine->board().Register(8), 0x01);

    // Closing gives the role back, and disarms the board.
    EXPECT_EQ(Close(privileged), KOR_OK);
    EXPECT_EQ(machine->board().Register(8), 0x00);
    OpenBoard(KOR_OPEN_PRIVILEGED);

    kor_board* board = nullptr;
    EXPECT_EQ(kor_open(number + 1, KOR_OPEN_SHARED, &board), KOR_E_NO_SUCH_BOARD);
    EXPECT_EQ(kor_open(number, 2, &board), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_open(number, KOR_OPEN_SHARED, nullptr), KOR_E_INVALID_ARGUMENT);
}

TEST_F(LibraryTest, AnotherProcessArmsAndItsEndGivesThePrivilegeBack)
{
    sim::ProcessPtr other = machine->NewProcess("other");
    std::thread([&] {
        sim::ProcessScope scope(other.get());
        kor_board* board = nullptr;
        ASSERT_EQ(kor_open(number, KOR_OPEN_PRIVILEGED, &board), KOR_OK);
        ASSERT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);
    }).join();

    kor_board* mine = OpenBoard(KOR_OPEN_SHARED);
    machine->board().Pulse(0);
    uint8_t snapshot[4];
    EXPECT_EQ(kor_wait_interrupt(mine, 0, kLong, snapshot), KOR_OK);
    kor_board* privileged = nullptr;
    EXPECT_EQ(kor_open(number, KOR_OPEN_PRIVILEGED, &privileged), ERR_PRIVILEGE_IN_USE);

    // The other process ends without closing its board.
    other.reset();
    EXPECT_EQ(machine->board().Register(8), 0x00);
    OpenBoard(KOR_OPEN_PRIVILEGED);
}

TEST_F(LibraryTest, InputsComeBackThroughTheMasksOfTheBlock)
{
    kor_board* board = OpenBoard(KOR_OPEN_SHARED);
    uint8_t ports[4];
    ASSERT_EQ(kor_read_inputs(board, ports), KOR_OK);
    EXPECT_EQ(Vec(ports, 4), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}));

    // A mask written through any mapping is applied at the next read.
    SHARED_BLOCK* mapping = SharedOf(OpenShared());
    const uint8_t masks[4] = {0xFF, 0x00, 0x0F, 0x00};
    std::memcpy(mapping->DiInversePorts, masks, 4);
    ASSERT_EQ(kor_read_inputs(board, ports), KOR_OK);
    EXPECT_EQ(Vec(ports, 4), (std::vector<uint8_t>{0x5E, 0xA2, 0xAC, 0xA4}));

    uint8_t run[6];
    ASSERT_EQ(kor_read_ports(board, 2, 6, run), KOR_OK);
    EXPECT_EQ(Vec(run, 6), (std::vector<uint8_t>{0xAC, 0xA4, 0x5E, 0xA2, 0xAC, 0xA4}));
    EXPECT_EQ(kor_read_ports(board, 0, 0, nullptr), KOR_OK);
    EXPECT_EQ(kor_read_ports(board, 4, 1, run), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_read_ports(board, 0, 1, nullptr), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_read_inputs(board, nullptr), KOR_E_INVALID_ARGUMENT);
}

TEST_F(LibraryTest, PortAccessesOfEachWidthAndTheirRefusals)
{
    kor_board* board = OpenBoard(KOR_OPEN_SHARED);
    struct Case {
        int32_t offset;
        uint32_t width;
        kor_status status;
        uint32_t value;
    };
    const Case reads[] = {
        {0, 1, KOR_OK, 0xA1},
        {1, 2, KOR_OK, 0xA3A2},
        {0, 4, KOR_OK, 0xA4A3A2A1},
        {31, 1, KOR_OK, 0},
        {0, 3, KOR_E_INVALID_ARGUMENT, 0},
        {0, 8, KOR_E_INVALID_ARGUMENT, 0},
        {29, 4, ERR_OUT_OF_RANGE, 0},
        {-1, 1, ERR_OUT_OF_RANGE, 0},
    };
    for (const Case& c : reads) {
        uint32_t value = 0xDEAD;
        EXPECT_EQ(kor_port_read(board, Base() + c.offset, c.width, &value), c.status) << c.offset << "/" << c.width;
        if (c.status == KOR_OK)
            EXPECT_EQ(value, c.value) << c.offset << "/" << c.width;
        else
            EXPECT_EQ(value, 0xDEADu) << c.offset << "/" << c.width;
    }
    EXPECT_EQ(kor_port_read(board, Base(), 1, nullptr), KOR_E_INVALID_ARGUMENT);

    // The trigger-edge register at offset 12 keeps what is written.
    EXPECT_EQ(kor_port_write(board, Base() + 12, 1, 0x05), KOR_OK);
    EXPECT_EQ(machine->board().Register(12), 0x05);
    uint32_t value = 0;
    EXPECT_EQ(kor_port_read(board, Base() + 12, 1, &value), KOR_OK);
    EXPECT_EQ(value, 0x05u);
    EXPECT_EQ(kor_port_write(board, Base() + 12, 2, 0x10000), KOR_E_INVALID_ARGUMENT);  // wider than 16 bits
    EXPECT_EQ(kor_port_write(board, Base() + 12, 3, 0), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_port_write(board, Base() + 31, 2, 0), ERR_OUT_OF_RANGE);
    EXPECT_EQ(machine->board().Register(12), 0x05);
}

TEST_F(LibraryTest, EachInterruptIsWaitedForOnceWithItsRawSnapshot)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    SHARED_BLOCK* mapping = SharedOf(OpenShared());
    mapping->DiInversePorts[0] = 0xFF;  // snapshots are never masked
    ASSERT_EQ(kor_arm(board, 1, KOR_EDGE_FALLING, 1, 4), KOR_OK);
    EXPECT_EQ(machine->board().Register(12) & 0x02, 0x02);  // falling: the edge bit set

    uint8_t snapshot[4];
    for (uint32_t inputs : {0x44332211u, 0x88776655u}) {
        machine->board().SetInputs(inputs);
        machine->board().Pulse(1);
        ASSERT_EQ(kor_wait_interrupt(board, 1, kLong, snapshot), KOR_OK);
        EXPECT_EQ(Vec(snapshot, 4), Vec(reinterpret_cast<const uint8_t*>(&inputs), 4));
        // Taken: the flag is down, so the next interrupt is reported again.
        EXPECT_EQ(Pending(board, 1), 0u);
    }
    kor_shared_view view;
    ASSERT_EQ(kor_read_shared(board, &view), KOR_OK);
    EXPECT_EQ(view.size, 160u);
    EXPECT_EQ(view.board_number, number);
    EXPECT_EQ(view.base_address, Base());
    EXPECT_EQ(view.trig_edge[1], KOR_EDGE_FALLING);
    EXPECT_EQ(view.inverse_ports[0], 0xFF);
    EXPECT_EQ(view.scan_start[1], 1);
    EXPECT_EQ(view.scan_count[1], 4);
    EXPECT_EQ(Vec(view.snapshot[1], 4), (std::vector<uint8_t>{0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(machine->board().EdgesSeen(1), 2u);

    ASSERT_EQ(kor_disarm(board, 1), KOR_OK);
    EXPECT_EQ(machine->board().Register(8) & 0x02, 0);
}

TEST_F(LibraryTest, AnInterruptBeforeTheFirstWaitIsNotLost)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(kor_arm(board, 3, KOR_EDGE_RISING, 0, 4), KOR_OK);
    machine->board().Pulse(3);
    // No event is registered yet: only the pending flag tells.
    ASSERT_TRUE(Eventually([&] { return Pending(board, 3) == 1; }));
    uint8_t snapshot[4];
    EXPECT_EQ(kor_wait_interrupt(board, 3, 0, snapshot), KOR_OK);
    EXPECT_EQ(Vec(snapshot, 4), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(kor_wait_interrupt(board, 3, 0, snapshot), KOR_E_TIMEOUT);
}

TEST_F(LibraryTest, WaitsRunOutAndRefuseBadChannels)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);
    uint8_t snapshot[4] = {1, 2, 3, 4};
    EXPECT_EQ(kor_wait_interrupt(board, 0, 20, snapshot), KOR_E_TIMEOUT);
    EXPECT_EQ(Vec(snapshot, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(kor_wait_interrupt(board, 2, 0, nullptr), KOR_E_TIMEOUT);  // never armed
    EXPECT_EQ(kor_wait_interrupt(board, 4, 0, snapshot), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_arm(board, 4, KOR_EDGE_RISING, 0, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 4, 0), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 0, 5), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_disarm(board, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_set_callback(board, 4, nullptr, nullptr), KOR_E_INVALID_ARGUMENT);
}

TEST_F(LibraryTest, TriggerEdgesAreStoredForTheChannelsNamed)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    const uint8_t edges[4] = {0, 1, 2, 255};
    ASSERT_EQ(kor_set_trigger_edges(board, 0, 4, edges), KOR_OK);
    ASSERT_EQ(kor_set_trigger_edges(board, 3, 1, edges + 1), KOR_OK);
    kor_shared_view view;
    ASSERT_EQ(kor_read_shared(board, &view), KOR_OK);
    EXPECT_EQ(Vec(view.trig_edge, 4), (std::vector<uint8_t>{0, 1, 2, 1}));
    EXPECT_EQ(kor_set_trigger_edges(board, 4, 0, nullptr), KOR_OK);
    EXPECT_EQ(kor_set_trigger_edges(board, 3, 2, edges), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_set_trigger_edges(board, 5, 0, edges), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_set_trigger_edges(board, 0, 1, nullptr), KOR_E_INVALID_ARGUMENT);
}

// Collects what the callbacks of a board deliver.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> calls;

    static void Record(kor_board*, uint32_t channel, const uint8_t snapshot[4], void* context)
    {
        auto* self = static_cast<Deliveries*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->calls.emplace_back(channel, Vec(snapshot, 4));
        self->arrived.notify_all();
    }
    bool AwaitCount(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::milliseconds(kLong), [&] { return calls.size() >= count; });
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

TEST_F(LibraryTest, ACallbackReceivesEveryInterruptOfItsChannel)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(kor_arm(board, 2, KOR_EDGE_RISING, 0, 4), KOR_OK);
    // One interrupt is pending before the callback is set: it is delivered too.
    machine->board().SetInputs(0x01010101);
    machine->board().Pulse(2);
    ASSERT_TRUE(Eventually([&] { return Pending(board, 2) == 1; }));

    Deliveries deliveries;
    ASSERT_EQ(kor_set_callback(board, 2, &Deliveries::Record, &deliveries), KOR_OK);
    ASSERT_TRUE(deliveries.AwaitCount(1));
    constexpr uint32_t kEdges = 5;
    for (uint32_t i = 2; i <= kEdges; ++i) {
        machine->board().SetInputs(0x01010101u * i);
        machine->board().Pulse(2);
        ASSERT_TRUE(deliveries.AwaitCount(i)) << i;
    }
    for (uint32_t i = 0; i < kEdges; ++i) {
        EXPECT_EQ(deliveries.calls[i].first, 2u);
        EXPECT_EQ(deliveries.calls[i].second, std::vector<uint8_t>(4, static_cast<uint8_t>(i + 1)));
    }
    EXPECT_EQ(kor_wait_interrupt(board, 2, 0, nullptr), KOR_E_CALLBACK_ACTIVE);

    // Stopped: the next interrupt is left for a wait.
    ASSERT_EQ(kor_set_callback(board, 2, nullptr, nullptr), KOR_OK);
    machine->board().Pulse(2);
    EXPECT_EQ(kor_wait_interrupt(board, 2, kLong, nullptr), KOR_OK);
    EXPECT_EQ(deliveries.Count(), kEdges);
}

TEST_F(LibraryTest, SettingACallbackEndsAWaitInProgressOnTheChannel)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);
    kor_status waited = KOR_OK;
    std::thread waiter([&] {
        sim::ProcessScope scope(process.get());
        waited = kor_wait_interrupt(board, 0, KOR_INFINITE, nullptr);
    });
    Deliveries deliveries;
    ASSERT_EQ(kor_set_callback(board, 0, &Deliveries::Record, &deliveries), KOR_OK);
    waiter.join();
    EXPECT_EQ(waited, KOR_E_CALLBACK_ACTIVE);
}

TEST_F(LibraryTest, CloseIsRefusedInsideTheCallbackAndWaitsForItOutside)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(kor_arm(board, 1, KOR_EDGE_RISING, 0, 4), KOR_OK);
    struct Context {
        std::atomic<kor_status> closeInside{KOR_OK};
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
    } context;
    auto callback = [](kor_board* b, uint32_t, const uint8_t*, void* raw) {
        auto* c = static_cast<Context*>(raw);
        c->closeInside = kor_close(b);
        c->entered = true;
        // Held until the close from outside has begun: the board is then
        // already refused to every call.
        uint8_t ports[4];
        while (kor_read_inputs(b, ports) != KOR_E_BAD_HANDLE)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c->finished = true;
    };
    ASSERT_EQ(kor_set_callback(board, 1, callback, &context), KOR_OK);
    machine->board().Pulse(1);
    ASSERT_TRUE(Eventually([&] { return context.entered.load(); }));
    EXPECT_EQ(context.closeInside.load(), KOR_E_IN_CALLBACK);
    EXPECT_EQ(Close(board), KOR_OK);
    EXPECT_TRUE(context.finished.load());
}

TEST_F(LibraryTest, CloseWakesEveryWaiterOfTheBoard)
{
    kor_board* board = OpenBoard(KOR_OPEN_SHARED);
    std::vector<std::thread> waiters;
    std::atomic<int> refused{0};
    for (uint32_t channel : {0u, 0u, 3u}) {
        waiters.emplace_back([&, channel] {
            sim::ProcessScope scope(process.get());
            if (kor_wait_interrupt(board, channel, KOR_INFINITE, nullptr) == KOR_E_BAD_HANDLE)
                ++refused;
        });
    }
    waiters.emplace_back([&] {
        sim::ProcessScope scope(process.get());
        if (kor_wait_general_event(board, KOR_INFINITE) == KOR_E_BAD_HANDLE)
            ++refused;
    });
    EXPECT_EQ(Close(board), KOR_OK);
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(refused.load(), 4);
    EXPECT_EQ(process->HandleCount(), 0u);
}

TEST_F(LibraryTest, TheGeneralEventReachesEveryHandleThatWaitsForIt)
{
    kor_board* listener = OpenBoard(KOR_OPEN_SHARED);
    kor_board* sender = OpenBoard(KOR_OPEN_SHARED);
    EXPECT_EQ(kor_wait_general_event(listener, 0), KOR_E_TIMEOUT);  // registers
    ASSERT_EQ(kor_signal_general_event(sender), KOR_OK);
    EXPECT_EQ(kor_wait_general_event(listener, kLong), KOR_OK);
    EXPECT_EQ(kor_wait_general_event(listener, 0), KOR_E_TIMEOUT);
}

TEST_F(LibraryTest, RegistryValuesRoundTripThroughTheBoardsRecord)
{
    kor_board* board = OpenBoard(KOR_OPEN_SHARED);
    const uint32_t word = 0x12345678;
    ASSERT_EQ(kor_write_value(board, "LibraryWord", KOR_REG_DWORD, &word, 4), KOR_OK);
    uint8_t data[8] = {};
    uint32_t length = 0;
    ASSERT_EQ(kor_read_value(board, "LibraryWord", data, sizeof data, &length), KOR_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(0, std::memcmp(data, &word, 4));
    EXPECT_EQ(kor_read_value(board, "LibraryWord", data, 2, &length), kBufferOverflow);
    EXPECT_EQ(kor_read_value(board, "NoSuchValue", data, sizeof data, &length), kNotFound);

    // Shorter than the request's minimum, and a name outside ASCII.
    const uint8_t byte = 0x5A;
    ASSERT_EQ(kor_write_value(board, "B\xC3\xBCro", KOR_REG_BINARY, &byte, 1), KOR_OK);
    ASSERT_EQ(kor_read_value(board, "B\xC3\xBCro", data, sizeof data, &length), KOR_OK);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_EQ(kor_read_value(board, "Buro", data, sizeof data, &length), kNotFound);

    const std::string longest(63, 'n');
    EXPECT_EQ(kor_write_value(board, longest.c_str(), KOR_REG_DWORD, &word, 4), KOR_OK);
    EXPECT_EQ(kor_write_value(board, (longest + "n").c_str(), KOR_REG_DWORD, &word, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_write_value(board, "Cut\xC3", KOR_REG_DWORD, &word, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_write_value(board, nullptr, KOR_REG_DWORD, &word, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_write_value(board, "LibraryWord", KOR_REG_DWORD, nullptr, 4), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_read_value(board, "LibraryWord", nullptr, 4, &length), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_read_value(board, "LibraryWord", nullptr, 0, &length), ERR_NULL_ARGUMENT);

    char location[64];
    ASSERT_EQ(kor_get_location(board, location, sizeof location), KOR_OK);
    EXPECT_STREQ(location, "PCI bus 2, device 14, function 0");
    EXPECT_EQ(kor_get_location(board, location, 32), KOR_E_BUFFER_TOO_SMALL);  // one short of the NUL
    EXPECT_EQ(kor_get_location(board, nullptr, 64), KOR_E_INVALID_ARGUMENT);
}

TEST(LibraryStatusTest, EveryStatusHasItsNameAndAText)
{
    const std::pair<kor_status, const char*> statuses[] = {
        {KOR_OK, "KOR_OK"},
        {KOR_E_INVALID_ARGUMENT, "KOR_E_INVALID_ARGUMENT"},
        {KOR_E_NO_SUCH_BOARD, "KOR_E_NO_SUCH_BOARD"},
        {KOR_E_TIMEOUT, "KOR_E_TIMEOUT"},
        {KOR_E_BAD_HANDLE, "KOR_E_BAD_HANDLE"},
        {KOR_E_NO_MAPPING, "KOR_E_NO_MAPPING"},
        {KOR_E_CALLBACK_ACTIVE, "KOR_E_CALLBACK_ACTIVE"},
        {KOR_E_IN_CALLBACK, "KOR_E_IN_CALLBACK"},
        {KOR_E_BUFFER_TOO_SMALL, "KOR_E_BUFFER_TOO_SMALL"},
        {KOR_E_BAD_REPLY, "KOR_E_BAD_REPLY"},
        {KOR_E_NO_RESOURCES, "KOR_E_NO_RESOURCES"},
        {ERR_OUT_OF_RANGE, "ERR_OUT_OF_RANGE"},
        {ERR_UNSUPPORTED, "ERR_UNSUPPORTED"},
        {ERR_NO_MEMORY, "ERR_NO_MEMORY"},
        {ERR_NULL_ARGUMENT, "ERR_NULL_ARGUMENT"},
        {ERR_BUFFER_TOO_SMALL, "ERR_BUFFER_TOO_SMALL"},
        {ERR_TOO_LONG, "ERR_TOO_LONG"},
        {ERR_EVENT_UNSUPPORTED, "ERR_EVENT_UNSUPPORTED"},
        {ERR_NOT_PRIVILEGED, "ERR_NOT_PRIVILEGED"},
        {ERR_PRIVILEGE_IN_USE, "ERR_PRIVILEGE_IN_USE"},
        {static_cast<kor_status>(0xC0000022u), "STATUS_ACCESS_DENIED"},
        {static_cast<kor_status>(0xC0000023u), "STATUS_BUFFER_TOO_SMALL"},
        {static_cast<kor_status>(0x80000005u), "STATUS_BUFFER_OVERFLOW"},
        {static_cast<kor_status>(0xC000000Du), "STATUS_INVALID_PARAMETER"},
        {static_cast<kor_status>(0xC0000010u), "STATUS_INVALID_DEVICE_REQUEST"},
        {static_cast<kor_status>(0xC0000034u), "STATUS_OBJECT_NAME_NOT_FOUND"},
        {static_cast<kor_status>(0xC0000008u), "STATUS_INVALID_HANDLE"},
        {static_cast<kor_status>(0xC000000Eu), "STATUS_NO_SUCH_DEVICE"},
        {static_cast<kor_status>(0xC0000024u), "STATUS_OBJECT_TYPE_MISMATCH"},
        {static_cast<kor_status>(0xC000009Au), "STATUS_INSUFFICIENT_RESOURCES"},
        {static_cast<kor_status>(0xC000017Cu), "STATUS_KEY_DELETED"},
    };
    std::set<std::string> texts;
    for (const auto& [status, name] : statuses) {
        EXPECT_STREQ(kor_status_name(status), name);
        std::string text = kor_status_text(status);
        EXPECT_EQ(text.find("unknown"), std::string::npos) << name;
        EXPECT_TRUE(texts.insert(text).second) << name << " shares its text: " << text;
    }
    EXPECT_STREQ(kor_status_text(static_cast<kor_status>(0xC0DE0042u)), "unknown status 0xC0DE0042");
    EXPECT_STREQ(kor_status_name(static_cast<kor_status>(0xC0DE0042u)), "0xC0DE0042");
    // Thread-local: another thread's unknown value does not overwrite ours.
    const char* mine = kor_status_text(static_cast<kor_status>(0x11111111u));
    std::thread([] { kor_status_text(static_cast<kor_status>(0x22222222u)); }).join();
    EXPECT_STREQ(mine, "unknown status 0x11111111");
}

TEST_F(LibraryTest, ReadersAndAWaiterShareOneBoardFromSeveralThreads)
{
    kor_board* privileged = OpenBoard(KOR_OPEN_PRIVILEGED);
    kor_board* shared = OpenBoard(KOR_OPEN_SHARED);
    ASSERT_EQ(kor_arm(privileged, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);

    constexpr int kReaders = 4, kReads = 200, kInterrupts = 3;
    std::atomic<int> goodReads{0};
    std::atomic<int> received{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            sim::ProcessScope scope(process.get());
            kor_board* board = r % 2 ? shared : privileged;
            for (int i = 0; i < kReads; ++i) {
                uint8_t ports[4];
                if (kor_read_inputs(board, ports) == KOR_OK && ports[0] == 0xA1 && ports[3] == 0xA4)
                    ++goodReads;
            }
        });
    }
    threads.emplace_back([&] {
        sim::ProcessScope scope(process.get());
        for (int i = 0; i < kInterrupts; ++i) {
            if (kor_wait_interrupt(shared, 0, kLong, nullptr) != KOR_OK)
                return;
            ++received;
        }
    });
    for (int i = 1; i <= kInterrupts; ++i) {
        machine->board().Pulse(0);
        ASSERT_TRUE(Eventually([&] { return received.load() >= i; })) << i;
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(goodReads.load(), kReaders * kReads);
    EXPECT_EQ(received.load(), kInterrupts);
}

TEST_F(LibraryTest, AClosedOrForeignBoardIsRefused)
{
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    ASSERT_EQ(Close(board), KOR_OK);
    int foreign = 0;
    kor_board* stale[] = {board, reinterpret_cast<kor_board*>(&foreign)};
    for (kor_board* b : stale) {
        uint8_t bytes[4];
        uint32_t value;
        kor_shared_view view;
        char text[64];
        const kor_status results[] = {
            kor_read_inputs(b, bytes),
            kor_read_ports(b, 0, 4, bytes),
            kor_port_read(b, Base(), 1, &value),
            kor_port_write(b, Base() + 12, 1, 0),
            kor_set_trigger_edges(b, 0, 1, bytes),
            kor_arm(b, 0, KOR_EDGE_RISING, 0, 4),
            kor_disarm(b, 0),
            kor_wait_interrupt(b, 0, 0, bytes),
            kor_set_callback(b, 0, nullptr, nullptr),
            kor_signal_general_event(b),
            kor_wait_general_event(b, 0),
            kor_read_shared(b, &view),
            kor_read_value(b, "BoardID", bytes, 4, &value),
            kor_write_value(b, "LibraryWord", KOR_REG_DWORD, bytes, 4),
            kor_get_location(b, text, sizeof text),
            kor_close(b),
        };
        for (size_t i = 0; i < std::size(results); ++i)
            EXPECT_EQ(results[i], KOR_E_BAD_HANDLE) << "call " << i;
    }
    EXPECT_EQ(kor_close(nullptr), KOR_E_INVALID_ARGUMENT);
    EXPECT_EQ(kor_read_inputs(nullptr, nullptr), KOR_E_INVALID_ARGUMENT);
    // The privileged role was given back by the close.
    OpenBoard(KOR_OPEN_PRIVILEGED);
}

TEST_F(LibraryTest, AHandleWithoutAMappingStillServesRequests)
{
    // The probe maps; the privileged handle's own mapping comes back null.
    sim::Verifier::Instance().ArmFault("MmMapLockedPagesSpecifyCache", 2);
    kor_board* board = OpenBoard(KOR_OPEN_PRIVILEGED);
    sim::Verifier::Instance().DisarmFaults();
    kor_shared_view view;
    uint8_t ports[4];
    EXPECT_EQ(kor_read_shared(board, &view), KOR_E_NO_MAPPING);
    EXPECT_EQ(kor_wait_interrupt(board, 0, 0, ports), KOR_E_NO_MAPPING);
    EXPECT_EQ(kor_set_callback(board, 0, &Deliveries::Record, nullptr), KOR_E_NO_MAPPING);
    EXPECT_EQ(kor_read_inputs(board, ports), KOR_OK);
    EXPECT_EQ(kor_arm(board, 0, KOR_EDGE_RISING, 0, 4), KOR_OK);

    // A board whose probe has no mapping cannot be told by its number.
    sim::Verifier::Instance().ArmFault("MmMapLockedPagesSpecifyCache", 1);
    kor_board* unknown = nullptr;
    EXPECT_EQ(kor_open(number, KOR_OPEN_SHARED, &unknown), KOR_E_NO_MAPPING);
    sim::Verifier::Instance().DisarmFaults();
}

// Two boards whose interfaces enumerate in the opposite order of their numbers.
class TwoBoardTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::Registry::Instance().UseMemoryOnly();
        sim::InterruptController::Instance().SetDeterministic(false);
        sim::WorkQueue::Instance().SetDeterministic(false);
        machine = std::make_unique<sim::Machine>();
        for (sim::PciLocation location : {sim::PciLocation{3, 1, 0}, sim::PciLocation{2, 5, 0}}) {
            sim::BoardSlot slot;
            slot.location = location;
            slot.interruptVector = 10 + location.bus;
            machine->AddBoard(slot);
        }
        ASSERT_EQ(machine->Boot(DriverEntry), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
        process = machine->NewProcess("two boards");
        inProcess = std::make_unique<sim::ProcessScope>(process.get());
    }

    void TearDown() override
    {
        inProcess.reset();
        process.reset();
        sim::WorkQueue::Instance().Drain();
        machine.reset();
        sim::WorkQueue::Instance().Reset();
        SimTest::TearDown();
    }

    uint32_t NumberOf(size_t index) { return GetDeviceExtension(machine->Device(index))->Shared->BoardNumber; }

    std::unique_ptr<sim::Machine> machine;
    sim::ProcessPtr process;
    std::unique_ptr<sim::ProcessScope> inProcess;
};

TEST_F(TwoBoardTest, BoardsAreListedByNumberAndOpenedByIt)
{
    kor_board_info info[2];
    uint32_t count = 0;
    ASSERT_EQ(kor_list_boards(info, 2, &count), KOR_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_LT(info[0].board_number, info[1].board_number);
    for (size_t index = 0; index < 2; ++index) {
        const uint32_t number = NumberOf(index);
        const kor_board_info& listed = info[0].board_number == number ? info[0] : info[1];
        EXPECT_EQ(listed.bus, machine->Slot(index).location.bus);
        EXPECT_EQ(listed.port_base, machine->PortBase(index));

        kor_board* board = nullptr;
        ASSERT_EQ(kor_open(number, KOR_OPEN_PRIVILEGED, &board), KOR_OK);
        kor_shared_view view;
        ASSERT_EQ(kor_read_shared(board, &view), KOR_OK);
        EXPECT_EQ(view.bus, machine->Slot(index).location.bus);
        EXPECT_EQ(view.slot, machine->Slot(index).location.device);
        EXPECT_EQ(kor_close(board), KOR_OK);
    }
    // Only the first entry fits; the count still says two.
    ASSERT_EQ(kor_list_boards(info, 1, &count), KOR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(info[0].board_number, std::min(NumberOf(0), NumberOf(1)));

    // A stopped board is no longer there.
    const uint32_t stopped = NumberOf(1);
    machine->Stop(1);
    ASSERT_EQ(kor_list_boards(info, 2, &count), KOR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(info[0].board_number, NumberOf(0));
    kor_board* board = nullptr;
    EXPECT_EQ(kor_open(stopped, KOR_OPEN_SHARED, &board), KOR_E_NO_SUCH_BOARD);
    EXPECT_EQ(process->HandleCount(), 0u);
}

}  // namespace
