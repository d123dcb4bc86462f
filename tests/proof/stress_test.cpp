// Concurrency stress with every thread of the platform running free: user
// processes sending requests, edges on all four channels at a high rate,
// user threads rewriting the shared block and acknowledging pending flags,
// opens racing for the privileged handle, deferred registry requests and
// stops and restarts of the device. Bounded by iteration counts; meant to run
// under ThreadSanitizer, where a data race fails the run.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "support/sim_test.h"
#include "testbed/testbed.h"

namespace {

using simtest::Bytes;
using simtest::Ioctl;

constexpr uint32_t kChannelEvent[4] = {EVENT_DI_INT0, EVENT_DI_INT1, EVENT_DI_INT2, EVENT_DI_INT3};
constexpr uint32_t kShared = um::kGenericRead | um::kFileWriteData;
constexpr uint32_t kPrivileged = kShared | um::kFileWriteAttributes;

// A user process with one open handle.
struct User {
    sim::ProcessPtr process;
    um::HANDLE handle = nullptr;
    SHARED_BLOCK* shared = nullptr;
    um::HANDLE events[MDX_EVENT_SLOTS] = {};  // auto-reset, one per slot
};

std::vector<uint8_t> RegisterAll(const um::HANDLE (&events)[MDX_EVENT_SLOTS])
{
    const uint32_t types[MDX_EVENT_SLOTS] = {EVENT_GENERAL, EVENT_DI_INT0, EVENT_DI_INT1, EVENT_DI_INT2,
                                             EVENT_DI_INT3};
    std::vector<uint8_t> input;
    for (size_t slot = 0; slot < MDX_EVENT_SLOTS; ++slot) {
        auto entry = Bytes({types[slot], 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(events[slot])), 0});
        input.insert(input.end(), entry.begin(), entry.end());
    }
    return input;
}

uint32_t Word(const std::vector<uint8_t>& bytes)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data(), std::min<size_t>(4, bytes.size()));
    return value;
}

std::vector<uint8_t> WriteValueInput(uint32_t value)
{
    std::vector<uint8_t> input(sizeof(WRITE_DEVICE_VALUE_INPUT), 0);
    const char name[] = "Stress";
    for (size_t i = 0; name[i]; ++i)
        input[4 + 2 * i] = static_cast<uint8_t>(name[i]);
    auto tail = Bytes({4 /* REG_DWORD */, 4, value});
    std::memcpy(input.data() + 132, tail.data(), tail.size());
    return input;
}

class StressTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        bed = std::make_unique<sim::Testbed>();
    }

    void TearDown() override
    {
        users.clear();
        bed.reset();
        SimTest::TearDown();
    }

    User& NewUser(uint32_t access, bool withEvents)
    {
        users.push_back(std::make_unique<User>());
        User& user = *users.back();
        user.process = bed->NewProcess("stress");
        sim::ProcessScope scope(user.process.get());
        EXPECT_EQ(um::CreateFile(bed->devicePath().c_str(), access, &user.handle), 0);
        uint32_t address = 0, bytes = 0;
        EXPECT_EQ(um::DeviceIoControl(user.handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address, 4, &bytes), 0);
        user.shared = reinterpret_cast<SHARED_BLOCK*>(static_cast<uintptr_t>(address));
        if (withEvents) {
            for (auto& event : user.events)
                EXPECT_EQ(um::CreateEvent(false, false, &event), 0);
            EXPECT_EQ(Ioctl(user.handle, IOCTL_REGISTER_EVENTS, RegisterAll(user.events), 0).status, 0);
        }
        return user;
    }

    // Runs `body` on a thread of `user`'s process.
    template <class Body>
    std::thread InProcess(User& user, Body body)
    {
        return std::thread([&user, body] {
            sim::ProcessScope scope(user.process.get());
            body();
        });
    }

    std::unique_ptr<sim::Testbed> bed;
    std::vector<std::unique_ptr<User>> users;
};

TEST_F(StressTest, EveryRaisedFlagSetsEachRegisteredSlotOnceWhileEverythingRuns)
{
    constexpr int kPulses = 4000, kRequests = 1500, kDeferred = 150, kOpens = 300, kRewrites = 400000,
                  kRestarts = 3;
    User& owner = NewUser(kPrivileged, false);
    std::vector<User*> listeners = {&NewUser(kShared, true), &NewUser(kShared, true)};
    User& requester = NewUser(kShared, true);
    User& rewriter = NewUser(kShared, false);
    User& opener = NewUser(kShared, false);
    {
        sim::ProcessScope scope(owner.process.get());
        for (uint32_t type : kChannelEvent)
            ASSERT_EQ(Ioctl(owner.handle, IOCTL_ENABLE_DI_INTERRUPT, Bytes({type, 0, 4}), 0).status, 0);
    }

    std::atomic<bool> pulsing{true};
    std::atomic<uint64_t> cleared[4] = {};
    std::atomic<uint64_t> generalSignals{0};
    std::atomic<uint64_t> rewrites{0};
    std::atomic<int> restartsWhilePulsing{0};
    std::vector<std::thread> threads;

    // Edges on all four channels, with the inputs changing under them.
    threads.emplace_back([&] {
        auto& board = bed->board();
        for (int i = 0; i < kPulses; ++i) {
            board.Pulse(i % 4);
            // Give the service routine a moment, so that edges are not all
            // merged into one latch.
            for (int spin = 0; spin < 2000 && board.InterruptLine(); ++spin)
                std::this_thread::yield();
            if (i % 64 == 0)
                board.SetInputs(static_cast<uint32_t>(i) * 0x01010101u);
            if (i % 256 == 0)
                board.ClearPortLog();
        }
        pulsing = false;
    });
    // The library's side of a notification: whoever finds a flag up takes it
    // down, and counts it.
    threads.push_back(InProcess(*listeners[0], [&] {
        auto* pending = listeners[0]->shared->IntPending;
        while (pulsing.load()) {
            bool found = false;
            for (unsigned ch = 0; ch < 4; ++ch) {
                if (std::atomic_ref<uint32_t>(pending[ch]).exchange(0) == 1) {
                    ++cleared[ch];
                    found = true;
                }
            }
            if (!found)
                std::this_thread::yield();
        }
    }));
    // Every field but the flags, identity included, rewritten through another
    // process's mapping: the driver trusts only its private copies, so
    // restarts still find the board's number and requests still work.
    threads.push_back(InProcess(rewriter, [&] {
        std::minstd_rand random(7);
        auto* bytes = reinterpret_cast<uint8_t*>(rewriter.shared);
        for (int i = 0; i < kRewrites && pulsing.load(); ++i) {
            if (i % 16 == 0)
                std::this_thread::yield();
            size_t offset = random() % offsetof(SHARED_BLOCK, IntPending);
            std::atomic_ref<uint8_t>(bytes[offset]).store(static_cast<uint8_t>(random()), std::memory_order_relaxed);
            ++rewrites;
        }
    }));
    // Requests that never fail on a working device.
    threads.push_back(InProcess(requester, [&] {
        const uint32_t base = bed->portBase();
        for (int i = 0; i < kRequests; ++i) {
            EXPECT_EQ(Ioctl(requester.handle, IOCTL_READ_DI_PORTS, Bytes({0, 4}), 4).status, 0);
            EXPECT_EQ(Ioctl(requester.handle, IOCTL_READ_PORT, Bytes({base + i % 4}), 1).status, 0);
            EXPECT_EQ(Ioctl(requester.handle, IOCTL_QUERY_ZERO_STATUS, Bytes({0}), 8).status, 0);
            if (Ioctl(requester.handle, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0).status == 0)
                ++generalSignals;
        }
    }));
    // Deferred requests: their work items run on the worker pool.
    threads.push_back(InProcess(*listeners[1], [&] {
        um::HANDLE handle = listeners[1]->handle;
        for (uint32_t i = 0; i < kDeferred; ++i) {
            EXPECT_EQ(Ioctl(handle, IOCTL_WRITE_DEVICE_VALUE, WriteValueInput(i), 0).status, 0);
            std::vector<uint8_t> name = {'S', 0, 't', 0, 'r', 0, 'e', 0, 's', 0, 's', 0, 0, 0};
            auto read = Ioctl(handle, IOCTL_READ_DEVICE_VALUE, name, 4);
            EXPECT_EQ(read.status, 0);
            EXPECT_EQ(Word(read.output), i);
            EXPECT_EQ(Ioctl(handle, IOCTL_GET_LOCATION, {}, 128).status, 0);
        }
    }));
    // Opens race with the DPC's walk of the open handles; while the owner
    // holds the privilege no other open gets it.
    threads.push_back(InProcess(opener, [&] {
        for (int i = 0; i < kOpens; ++i) {
            um::HANDLE handle = nullptr;
            NTSTATUS status = um::CreateFile(bed->devicePath().c_str(), i % 2 ? kPrivileged : kShared, &handle);
            if (i % 2) {
                EXPECT_NE(status, 0) << "a second privileged handle was opened";
            }
            if (status == 0)
                um::CloseHandle(handle);
        }
    }));
    // Stops and restarts under all of it.
    threads.emplace_back([&] {
        for (int i = 0; i < kRestarts; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            bed->machine().Stop(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(bed->machine().Start(0), STATUS_SUCCESS);
            restartsWhilePulsing += pulsing.load();
        }
    });
    for (auto& thread : threads)
        thread.join();

    // After the restarts an edge on each channel still reaches user mode. The
    // wait is bounded only so that a lost notification fails instead of
    // hanging; nothing is timed.
    {
        auto* pending = listeners[0]->shared->IntPending;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (unsigned ch = 0; ch < 4; ++ch) {
            if (std::atomic_ref<uint32_t>(pending[ch]).exchange(0) == 1)
                ++cleared[ch];
            bed->board().Pulse(ch);
            while (std::atomic_ref<uint32_t>(pending[ch]).load() == 0 && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(std::atomic_ref<uint32_t>(pending[ch]).load(), 1u)
                << "channel " << ch << ": an edge after the restarts never reached user mode";
        }
    }

    // With the device stopped no interrupt or DPC runs any more, so the flags
    // and the event counts are final.
    bed->machine().Stop(0);
    for (User* listener : listeners) {
        sim::ProcessScope scope(listener->process.get());
        for (unsigned ch = 0; ch < 4; ++ch) {
            uint64_t raised = cleared[ch] + listener->shared->IntPending[ch];
            EXPECT_EQ(simtest::EventSets(listener->events[ch + 1]), raised) << "channel " << ch;
        }
        EXPECT_EQ(simtest::EventSets(listener->events[0]), generalSignals.load());
    }
    uint64_t acknowledged = 0;
    for (auto& c : cleared)
        acknowledged += c;
    EXPECT_GT(acknowledged, 0u) << "no notification reached user mode while the edges came";
    std::printf("stress: %d edges, %llu notifications acknowledged (%llu/%llu/%llu/%llu per channel), "
                "%llu general events, %llu block rewrites, %d of %d restarts during the edges\n",
                kPulses, static_cast<unsigned long long>(acknowledged),
                static_cast<unsigned long long>(cleared[0].load()), static_cast<unsigned long long>(cleared[1].load()),
                static_cast<unsigned long long>(cleared[2].load()), static_cast<unsigned long long>(cleared[3].load()),
                static_cast<unsigned long long>(generalSignals.load()), static_cast<unsigned long long>(rewrites.load()),
                restartsWhilePulsing.load(), kRestarts);
    EXPECT_EQ(sim::Verifier::Instance().Violations().size(), 0u);
}

TEST_F(StressTest, OpensRacingForThePrivilegedHandleNeverHoldTwo)
{
    constexpr int kRacers = 4, kRounds = 300;
    std::atomic<int> holders{0};
    std::atomic<int> most{0};
    std::atomic<int> wins{0};
    std::vector<User*> racers;
    for (int r = 0; r < kRacers; ++r)
        racers.push_back(&NewUser(kShared, false));
    std::vector<std::thread> threads;
    for (User* racer : racers) {
        threads.push_back(InProcess(*racer, [&] {
            for (int i = 0; i < kRounds; ++i) {
                um::HANDLE handle = nullptr;
                NTSTATUS status = um::CreateFile(bed->devicePath().c_str(), kPrivileged, &handle);
                if (status != 0) {
                    EXPECT_EQ(status, ERR_PRIVILEGE_IN_USE);
                    continue;
                }
                int now = ++holders;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                ++wins;
                EXPECT_EQ(Ioctl(handle, IOCTL_ENABLE_DI_INTERRUPT, Bytes({EVENT_DI_INT0, 0, 4}), 0).status, 0);
                --holders;
                um::CloseHandle(handle);
            }
        }));
    }
    // Edges keep the DPC walking the list the opens change.
    std::atomic<bool> done{false};
    std::thread pulser([&] {
        for (int i = 0; !done.load(); ++i) {
            bed->board().Pulse(0);
            if (i % 256 == 0)
                bed->board().ClearPortLog();
        }
    });
    for (auto& thread : threads)
        thread.join();
    done = true;
    pulser.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_GT(wins.load(), 0);
}

}  // namespace
