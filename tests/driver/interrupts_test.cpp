// Interrupts from edges on the board's pins to the events of every open
// handle, and the privileged requests that arm and disarm the channels.
// Deterministic: the test delivers interrupts and DPCs itself.
#include <atomic>
#include <cstring>
#include <thread>

#include "device/device_context.h"
#include "support/sim_test.h"
#include "wdf/interrupt.h"

namespace {

using simtest::Bytes;
using simtest::EventSets;
using simtest::Ioctl;

constexpr uint32_t kChannelEvent[4] = {EVENT_DI_INT0, EVENT_DI_INT1, EVENT_DI_INT2, EVENT_DI_INT3};

std::vector<uint8_t> Register(uint32_t type, um::HANDLE event)
{
    return Bytes({type, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event)), 0});
}

class InterruptTest : public simtest::DeviceTest {
protected:
    InterruptTest() { options.deterministic = true; }

    void SetUp() override
    {
        DeviceTest::SetUp();
        privileged = OpenPrivileged();
        shared = SharedOf(privileged);
        machine->board().SetInputs(0xA4A3A2A1);
    }

    int32_t Arm(unsigned channel, uint32_t scanCount = 4, uint32_t scanStart = 0)
    {
        return Ioctl(privileged, IOCTL_ENABLE_DI_INTERRUPT, Bytes({kChannelEvent[channel], scanStart, scanCount}), 0)
            .status;
    }

    um::HANDLE EventFor(um::HANDLE handle, unsigned channel)
    {
        um::HANDLE event = nullptr;
        EXPECT_EQ(um::CreateEvent(false, false, &event), 0);
        EXPECT_EQ(Ioctl(handle, IOCTL_REGISTER_EVENTS, Register(kChannelEvent[channel], event), 0).status, 0);
        return event;
    }

    // The service routines of the asserted line, then the DPCs.
    void Service()
    {
        sim::InterruptController::Instance().DeliverInterrupts();
        sim::InterruptController::Instance().RunDpcs();
    }

    sim::wdf::Interrupt& InterruptObject()
    {
        return *reinterpret_cast<sim::wdf::Interrupt*>(machine->extension()->InterruptObject);
    }

    um::HANDLE privileged = nullptr;
    SHARED_BLOCK* shared = nullptr;
};

TEST_F(InterruptTest, AnEdgeReachesEveryHandlesEventWithASnapshot)
{
    um::HANDLE other = OpenShared();
    um::HANDLE mine = EventFor(privileged, 0);
    um::HANDLE theirs = EventFor(other, 0);
    ASSERT_EQ(Arm(0), 0);
    auto& board = machine->board();
    board.Pulse(0);
    EXPECT_TRUE(board.InterruptLine());

    sim::InterruptController::Instance().DeliverInterrupts();
    EXPECT_EQ(shared->IntStatus, 1u);
    EXPECT_EQ(board.Register(16), 0);  // the service routine cleared what it read
    EXPECT_FALSE(board.InterruptLine());
    EXPECT_EQ(shared->IntPending[0], 0u);  // nothing yet: the DPC has not run

    sim::InterruptController::Instance().RunDpcs();
    EXPECT_EQ(shared->IntPending[0], 1u);
    EXPECT_EQ(std::vector<uint8_t>(shared->DiSnapshot[0], shared->DiSnapshot[0] + 4),
              (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(um::WaitForSingleObject(mine, 0), um::kWaitObject0);
    EXPECT_EQ(um::WaitForSingleObject(theirs, 0), um::kWaitObject0);
    EXPECT_EQ(InterruptObject().maxPortReadsPerDpc(), 4u);

    // While the flag stays up, further interrupts refresh the snapshot only.
    board.SetInputs(0x01020304);
    board.Pulse(0);
    Service();
    EXPECT_EQ(EventSets(mine), 1u);
    EXPECT_EQ(shared->DiSnapshot[0][0], 0x04);

    // Acknowledging through the mapping lets the next interrupt through.
    shared->IntPending[0] = 0;
    board.Pulse(0);
    Service();
    EXPECT_EQ(EventSets(mine), 2u);
    EXPECT_EQ(EventSets(theirs), 2u);
}

TEST_F(InterruptTest, OneRunReadsThePortsOnceForEveryPendingChannel)
{
    ASSERT_EQ(Arm(0), 0);
    ASSERT_EQ(Arm(1, 0), 0);
    ASSERT_EQ(Arm(2), 0);
    for (auto& b : shared->DiSnapshot[1])
        b = 0xAB;
    machine->board().Pulse(0);
    machine->board().Pulse(1);
    machine->board().Pulse(2);
    machine->board().ClearPortLog();
    Service();
    EXPECT_EQ(shared->IntStatus, 0x07u);
    EXPECT_EQ(InterruptObject().maxPortReadsPerDpc(), 4u);
    EXPECT_EQ(0, std::memcmp(shared->DiSnapshot[0], shared->DiSnapshot[2], 4));
    EXPECT_EQ(shared->DiSnapshot[2][3], 0xA4);
    EXPECT_EQ(shared->DiSnapshot[1][0], 0xAB);  // a scan count of 0 keeps the old snapshot
    for (unsigned channel : {0u, 1u, 2u})
        EXPECT_EQ(shared->IntPending[channel], 1u) << channel;
}

TEST_F(InterruptTest, APendingChannelGetsItsSnapshotButNoEvent)
{
    um::HANDLE event = EventFor(privileged, 3);
    ASSERT_EQ(Arm(3), 0);
    shared->IntPending[3] = 1;
    machine->board().Pulse(3);
    Service();
    EXPECT_EQ(EventSets(event), 0u);
    EXPECT_EQ(shared->DiSnapshot[3][1], 0xA2);
}

TEST_F(InterruptTest, AnotherDevicesInterruptOnTheLineIsNotOurs)
{
    auto* line = sim::InterruptController::Instance().Line(machine->options().interruptVector);
    int foreign = 0;
    shared->IntStatus = 0x5;
    machine->board().ClearPortLog();
    line->SetSource(&foreign, true);
    EXPECT_EQ(sim::InterruptController::Instance().DeliverInterrupts(), 0u);
    line->SetSource(&foreign, false);
    EXPECT_EQ(shared->IntStatus, 0u);
    for (const auto& access : machine->board().PortLog())
        EXPECT_FALSE(access.write);
    EXPECT_EQ(sim::InterruptController::Instance().RunDpcs(), 0u);
}

TEST_F(InterruptTest, ASharersInterruptBetweenServiceAndDpcLosesNoBits)
{
    um::HANDLE event = EventFor(privileged, 0);
    ASSERT_EQ(Arm(0), 0);
    auto& controller = sim::InterruptController::Instance();
    auto* line = controller.Line(machine->options().interruptVector);
    machine->board().Pulse(0);
    controller.DeliverInterrupts();
    // Another device interrupts before our DPC runs; our service routine
    // runs again and finds nothing.
    int foreign = 0;
    line->SetSource(&foreign, true);
    controller.DeliverInterrupts();
    line->SetSource(&foreign, false);
    EXPECT_EQ(shared->IntStatus, 0u);
    controller.RunDpcs();
    EXPECT_EQ(EventSets(event), 1u);
    EXPECT_EQ(shared->IntPending[0], 1u);
}

TEST_F(InterruptTest, AValueUserModeWritesIntoIntStatusDecidesNothing)
{
    um::HANDLE event = EventFor(privileged, 1);
    ASSERT_EQ(Arm(1), 0);
    machine->board().Pulse(1);
    sim::InterruptController::Instance().DeliverInterrupts();
    shared->IntStatus = 0;
    sim::InterruptController::Instance().RunDpcs();
    EXPECT_EQ(EventSets(event), 1u);
}

TEST_F(InterruptTest, ArmingWritesEdgeThenEnableFromWhatTheRegistersHeld)
{
    const uint32_t base = Base();
    ASSERT_EQ(Ioctl(privileged, IOCTL_WRITE_PORT, Bytes({base + 8, 0x01}), 0).status, 0);
    ASSERT_EQ(Ioctl(privileged, IOCTL_WRITE_PORT, Bytes({base + 12, 0x0F}), 0).status, 0);
    um::HANDLE event = EventFor(privileged, 2);
    ASSERT_EQ(um::SetEvent(event), 0);
    shared->IntPending[2] = 1;
    machine->board().ClearPortLog();

    ASSERT_EQ(Arm(2, 2, 3), 0);
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const auto& access : machine->board().PortLog())
        if (access.write)
            writes.emplace_back(access.offset, access.value);
    EXPECT_EQ(writes, (std::vector<std::pair<uint32_t, uint32_t>>{{12, 0x0B}, {8, 0x05}}));
    EXPECT_EQ(um::WaitForSingleObject(event, 0), um::kWaitTimeout);  // reset on every handle
    EXPECT_EQ(shared->IntPending[2], 0u);
    EXPECT_EQ(shared->DiintChannel[2].ScanStart, 3);
    EXPECT_EQ(shared->DiintChannel[2].ScanCount, 2);

    machine->board().ClearPortLog();
    ASSERT_EQ(Ioctl(privileged, IOCTL_WRITE_PORT, Bytes({base + 8, 0x03}), 0).status, 0);
    ASSERT_EQ(Ioctl(privileged, IOCTL_DISABLE_DI_INTERRUPT, Bytes({EVENT_DI_INT1}), 0).status, 0);
    EXPECT_EQ(machine->board().Register(8), 0x01);
}

TEST_F(InterruptTest, EdgeValuesOtherThanOneSelectTheOtherEdge)
{
    struct Case {
        uint32_t start, count;
        std::vector<uint8_t> edges;
        size_t extra;
        int32_t status;
    };
    const Case cases[] = {
        {0, 4, {0, 2, 255, 1}, 0, 0},
        {3, 1, {7}, 0, 0},
        {3, 2, {1, 1}, 0, ERR_OUT_OF_RANGE},
        {4, 0, {}, 0, 0},
        {5, 0, {}, 0, ERR_OUT_OF_RANGE},
        {0, 4, {1, 1}, 0, ERR_OUT_OF_RANGE},  // 14 bytes for a count of 4
        {1, 1, {9}, 3, 0},                    // extra bytes are ignored
        {0xFFFFFFFF, 2, {1, 1}, 0, ERR_OUT_OF_RANGE},
    };
    for (const Case& c : cases) {
        auto input = Bytes({0, c.start, c.count});
        input.insert(input.end(), c.edges.begin(), c.edges.end());
        input.resize(input.size() + c.extra, 0x77);
        EXPECT_EQ(Ioctl(privileged, IOCTL_SET_TRIGGER_EDGES, input, 0).status, c.status)
            << c.start << "/" << c.count;
    }
    EXPECT_EQ(std::vector<uint8_t>(shared->DiintTrigEdge, shared->DiintTrigEdge + 4),
              (std::vector<uint8_t>{0, 9, 255, 7}));
    for (unsigned channel = 0; channel < 3; ++channel)
        ASSERT_EQ(Arm(channel), 0);
    EXPECT_EQ(machine->board().Register(12) & 0x07, 0x07);
}

TEST_F(InterruptTest, ConfigurationChecksComeInOrder)
{
    um::HANDLE plain = OpenShared();
    for (uint32_t code : {IOCTL_SET_TRIGGER_EDGES, IOCTL_ENABLE_DI_INTERRUPT, IOCTL_DISABLE_DI_INTERRUPT})
        EXPECT_EQ(Ioctl(plain, code, {}, 0).status, ERR_NOT_PRIVILEGED) << std::hex << code;
    auto enable = [&](uint32_t type, uint32_t start, uint32_t count) {
        return Ioctl(privileged, IOCTL_ENABLE_DI_INTERRUPT, Bytes({type, start, count}), 0).status;
    };
    EXPECT_EQ(enable(EVENT_DI_INT0, 3, 4), 0);
    EXPECT_EQ(enable(EVENT_DI_INT0, 4, 0), ERR_OUT_OF_RANGE);
    EXPECT_EQ(enable(EVENT_DI_INT0, 0, 5), ERR_OUT_OF_RANGE);
    EXPECT_EQ(enable(EVENT_GENERAL, 0, 0), ERR_EVENT_UNSUPPORTED);
    EXPECT_EQ(enable(EVENT_GENERAL, 9, 0), ERR_OUT_OF_RANGE);
    EXPECT_EQ(Ioctl(privileged, IOCTL_ENABLE_DI_INTERRUPT, Bytes({EVENT_DI_INT0, 0}), 0).status,
              static_cast<int32_t>(0xC0000023));
    EXPECT_EQ(Ioctl(privileged, IOCTL_DISABLE_DI_INTERRUPT, Bytes({99}), 0).status, ERR_EVENT_UNSUPPORTED);
}

TEST_F(InterruptTest, AHostileMappingCannotMoveTheInterruptPath)
{
    shared->BaseAddress = 0x80;
    um::HANDLE event = EventFor(privileged, 0);
    ASSERT_EQ(Arm(0), 0);
    machine->board().Pulse(0);
    Service();  // the verifier fails the test for any port outside the range
    EXPECT_EQ(EventSets(event), 1u);
    EXPECT_EQ(um::CloseHandle(privileged), 0);
    EXPECT_EQ(machine->board().Register(8), 0);
}

TEST_F(InterruptTest, ADpcLeftQueuedAtAStopDoesNotBlockTheNextStart)
{
    um::HANDLE event = EventFor(privileged, 0);
    ASSERT_EQ(Arm(0), 0);
    machine->board().Pulse(0);
    sim::InterruptController::Instance().DeliverInterrupts();  // the DPC stays queued
    machine->machine().Stop(0);
    ASSERT_EQ(machine->machine().Start(0), STATUS_SUCCESS);
    ASSERT_EQ(Arm(0), 0);
    machine->board().Pulse(0);
    sim::InterruptController::Instance().DeliverInterrupts();
    EXPECT_EQ(sim::InterruptController::Instance().RunDpcs(), 1u);
    EXPECT_EQ(EventSets(event), 1u);
}

class FreeRunningInterruptTest : public simtest::DeviceTest {};

TEST_F(FreeRunningInterruptTest, EveryEdgeIsDeliveredWhileASharerInterrupts)
{
    um::HANDLE h = OpenPrivileged();
    SHARED_BLOCK* shared = SharedOf(h);
    um::HANDLE event = nullptr;
    ASSERT_EQ(um::CreateEvent(false, false, &event), 0);
    ASSERT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, Register(EVENT_DI_INT0, event), 0).status, 0);
    ASSERT_EQ(Ioctl(h, IOCTL_ENABLE_DI_INTERRUPT, Bytes({EVENT_DI_INT0, 0, 4}), 0).status, 0);

    auto* line = sim::InterruptController::Instance().Line(machine->options().interruptVector);
    std::atomic<bool> stop{false};
    std::thread sharer([&] {
        int foreign = 0;
        while (!stop) {
            line->SetSource(&foreign, true);
            std::this_thread::yield();
            line->SetSource(&foreign, false);
        }
    });
    constexpr int kEdges = 200;
    int delivered = 0;
    for (int i = 0; i < kEdges; ++i) {
        machine->board().Pulse(0);
        if (um::WaitForSingleObject(event, 5000) != um::kWaitObject0)
            break;
        ++delivered;
        shared->IntPending[0] = 0;
    }
    stop = true;
    sharer.join();
    EXPECT_EQ(delivered, kEdges);
    EXPECT_EQ(machine->board().EdgesSeen(0), uint64_t(kEdges));
}

}  // namespace
