// Open handles: each with its own mapping of the shared block, one privileged
// handle per device, and the five event slots that registration fills.
#include <atomic>
#include <barrier>
#include <thread>

#include "kernel/event.h"
#include "public/mdx4208_wire.h"
#include "support/sim_test.h"

namespace {

using simtest::Bytes;
using simtest::EventSets;
using simtest::ExtraReferences;
using simtest::Ioctl;

constexpr int32_t kInvalidHandle = static_cast<int32_t>(0xC0000008);
constexpr int32_t kTypeMismatch = static_cast<int32_t>(0xC0000024);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0xC0000022);
constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0xC0000023);

std::vector<uint8_t> Entries(std::initializer_list<std::pair<uint32_t, um::HANDLE>> entries)
{
    std::vector<uint8_t> bytes;
    for (auto [type, handle] : entries) {
        auto entry = Bytes({type, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)), 0});
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    return bytes;
}

um::HANDLE NewEvent()
{
    um::HANDLE event = nullptr;
    EXPECT_EQ(um::CreateEvent(true, false, &event), 0);
    return event;
}

class HandlesTest : public simtest::DeviceTest {};

TEST_F(HandlesTest, EachHandleHasItsOwnMappingOfTheSameBlock)
{
    um::HANDLE a = OpenShared();
    um::HANDLE b = OpenShared();
    SHARED_BLOCK* viewA = SharedOf(a);
    SHARED_BLOCK* viewB = SharedOf(b);
    ASSERT_NE(viewA, nullptr);
    ASSERT_NE(viewB, nullptr);
    EXPECT_NE(viewA, viewB);
    EXPECT_LT(reinterpret_cast<uintptr_t>(viewA), uintptr_t(1) << 32);
    EXPECT_EQ(viewA->Size, 160u);
    EXPECT_EQ(viewA->BaseAddress, Base());

    // A store through one mapping is seen through the other and by the driver.
    viewA->DiInversePorts[1] = 0xF0;
    EXPECT_EQ(viewB->DiInversePorts[1], 0xF0);
    machine->board().SetInputs(0);
    auto run = Ioctl(b, IOCTL_READ_DI_PORTS, Bytes({1, 1}), 1);
    EXPECT_EQ(run.output[0], 0xF0);
}

TEST_F(HandlesTest, TheReservedStretchesKeepWhatUserModeWrote)
{
    um::HANDLE h = OpenPrivileged();
    SHARED_BLOCK* shared = SharedOf(h);
    for (auto& b : shared->Reserved1)
        b = 0x5A;
    shared->Reserved2 = 0xA5A5A5A5;
    Ioctl(h, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0);
    Ioctl(h, IOCTL_READ_DI_PORTS, Bytes({0, 4}), 4);
    Ioctl(h, IOCTL_ENABLE_DI_INTERRUPT, Bytes({EVENT_DI_INT0, 0, 4}), 0);
    um::HANDLE other = OpenShared();
    SHARED_BLOCK* view = SharedOf(other);
    EXPECT_EQ(um::CloseHandle(h), 0);
    for (auto b : view->Reserved1)
        ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(view->Reserved2, 0xA5A5A5A5u);
}

TEST_F(HandlesTest, OnlyOnePrivilegedHandleAtATime)
{
    um::HANDLE first = OpenPrivileged();
    um::HANDLE refused = nullptr;
    EXPECT_EQ(um::CreateFile(machine->devicePath().c_str(), kSharedAccess | um::kFileWriteAttributes,
                             &refused),
              ERR_PRIVILEGE_IN_USE);
    EXPECT_EQ(refused, nullptr);
    // Shared opens never fail on account of privilege, and stay shared.
    um::HANDLE shared[4];
    for (auto& h : shared) {
        h = OpenShared();
        EXPECT_EQ(Ioctl(h, IOCTL_PRIVILEGED_ACCEPT, std::vector<uint8_t>(12), 0).status, kAccessDenied);
    }
    EXPECT_EQ(Ioctl(first, IOCTL_PRIVILEGED_ACCEPT, std::vector<uint8_t>(11), 0).status, kBufferTooSmall);
    EXPECT_EQ(Ioctl(first, IOCTL_PRIVILEGED_ACCEPT, std::vector<uint8_t>(12), 0).status, 0);
    EXPECT_EQ(um::CloseHandle(first), 0);
    um::HANDLE again = OpenPrivileged();
    EXPECT_EQ(Ioctl(again, IOCTL_PRIVILEGED_ACCEPT, std::vector<uint8_t>(12), 0).status, 0);
}

TEST_F(HandlesTest, RacingPrivilegedOpensNeverBothSucceed)
{
    constexpr int kThreads = 6;
    for (int round = 0; round < 40; ++round) {
        std::atomic<int> winners{0};
        std::vector<um::HANDLE> opened(kThreads, nullptr);
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                sim::ProcessScope scope(process.get());
                start.arrive_and_wait();
                if (um::CreateFile(machine->devicePath().c_str(),
                                   kSharedAccess | um::kFileWriteAttributes, &opened[t]) == 0)
                    ++winners;
            });
        }
        for (auto& thread : threads)
            thread.join();
        ASSERT_EQ(winners.load(), 1) << "round " << round;
        for (um::HANDLE h : opened)
            if (h)
                um::CloseHandle(h);
    }
}

TEST_F(HandlesTest, ClosingThePrivilegedHandleDisarmsTheBoardUnderTheInterruptLock)
{
    um::HANDLE shared = OpenShared();
    machine->board().ClearPortLog();
    EXPECT_EQ(um::CloseHandle(shared), 0);
    EXPECT_TRUE(machine->board().PortLog().empty());

    um::HANDLE privileged = OpenPrivileged();
    machine->board().ClearPortLog();
    EXPECT_EQ(um::CloseHandle(privileged), 0);
    auto log = machine->board().PortLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].write && log[0].offset == 8 && log[0].value == 0);
    EXPECT_TRUE(log[1].write && log[1].offset == 16 && log[1].value == 0x0F);
}

TEST_F(HandlesTest, AnExitingProcessGivesThePrivilegedRoleBack)
{
    auto other = machine->NewProcess("other");
    {
        sim::ProcessScope scope(other.get());
        um::HANDLE h = nullptr;
        ASSERT_EQ(um::CreateFile(machine->devicePath().c_str(), kSharedAccess | um::kFileWriteAttributes, &h), 0);
    }
    um::HANDLE refused = nullptr;
    EXPECT_EQ(um::CreateFile(machine->devicePath().c_str(), kSharedAccess | um::kFileWriteAttributes, &refused),
              ERR_PRIVILEGE_IN_USE);
    other.reset();
    OpenPrivileged();
}

TEST_F(HandlesTest, RegistrationSkipsReplacesAndHoldsOneReferencePerSlot)
{
    um::HANDLE h = OpenShared();
    um::HANDLE e1 = NewEvent(), e2 = NewEvent();
    auto result = Ioctl(h, IOCTL_REGISTER_EVENTS,
                        Entries({{99, e1}, {EVENT_GENERAL, e1}, {EVENT_GENERAL, e2}, {EVENT_DI_INT3, e1}}), 0);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ExtraReferences(e1), 1);  // slot 4 only: slot 0 was replaced by e2
    EXPECT_EQ(ExtraReferences(e2), 1);
    Ioctl(h, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0);
    EXPECT_EQ(EventSets(e2), 1u);
    EXPECT_EQ(EventSets(e1), 0u);
    EXPECT_EQ(um::CloseHandle(h), 0);
    EXPECT_EQ(ExtraReferences(e1), 0);
    EXPECT_EQ(ExtraReferences(e2), 0);
}

TEST_F(HandlesTest, AFailingEntryStopsTheRegistrationThere)
{
    um::HANDLE h = OpenShared();
    um::HANDLE old2 = NewEvent(), old3 = NewEvent();
    ASSERT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, Entries({{EVENT_DI_INT1, old2}, {EVENT_DI_INT2, old3}}), 0).status, 0);

    um::HANDLE a = NewEvent(), b = NewEvent(), d = NewEvent();
    um::HANDLE noSync = nullptr;
    ASSERT_EQ(um::CreateEventWithAccess(true, false, um::kEventModifyState, &noSync), 0);
    um::HANDLE file = OpenShared();
    struct Case {
        um::HANDLE bad;
        int32_t status;
    };
    for (Case c : {Case{reinterpret_cast<um::HANDLE>(0x7FF0), kInvalidHandle}, Case{file, kTypeMismatch},
                   Case{noSync, kAccessDenied}}) {
        auto result = Ioctl(h, IOCTL_REGISTER_EVENTS,
                            Entries({{EVENT_GENERAL, a}, {EVENT_DI_INT0, b}, {EVENT_DI_INT1, c.bad}, {EVENT_DI_INT2, d}}), 0);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(ExtraReferences(a), 1);
        EXPECT_EQ(ExtraReferences(b), 1);
        EXPECT_EQ(ExtraReferences(old2), 0);  // the third slot is left empty
        EXPECT_EQ(ExtraReferences(old3), 1);  // the fourth entry is not looked at
        EXPECT_EQ(ExtraReferences(d), 0);
    }
}

TEST_F(HandlesTest, PartialEntriesAreIgnored)
{
    um::HANDLE h = OpenShared();
    um::HANDLE e = NewEvent();
    for (uint32_t length = 1; length < 16; ++length) {
        auto input = Entries({{EVENT_GENERAL, e}});
        input.resize(length);
        EXPECT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, input, 0).status, 0) << length;
        EXPECT_EQ(ExtraReferences(e), 0) << length;
    }
    auto twenty = Entries({{EVENT_GENERAL, e}});
    twenty.resize(20, 0xFF);
    EXPECT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, twenty, 0).status, 0);
    EXPECT_EQ(ExtraReferences(e), 1);
    EXPECT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, {}, 0).status, kBufferTooSmall);
}

TEST_F(HandlesTest, UnregistrationEmptiesTheNamedSlotsOrAll)
{
    um::HANDLE h = OpenShared();
    um::HANDLE e = NewEvent();
    auto all = Entries({{EVENT_GENERAL, e}, {EVENT_DI_INT0, e}, {EVENT_DI_INT1, e}, {EVENT_DI_INT2, e}, {EVENT_DI_INT3, e}});
    ASSERT_EQ(Ioctl(h, IOCTL_REGISTER_EVENTS, all, 0).status, 0);
    EXPECT_EQ(ExtraReferences(e), 5);

    EXPECT_EQ(Ioctl(h, IOCTL_UNREGISTER_EVENTS, std::vector<uint8_t>(15, 0), 0).status, 0);
    EXPECT_EQ(ExtraReferences(e), 5);
    // The handle in the entry is not read: the slot is emptied whatever it holds.
    EXPECT_EQ(Ioctl(h, IOCTL_UNREGISTER_EVENTS, Entries({{EVENT_GENERAL, nullptr}, {77, e}}), 0).status, 0);
    EXPECT_EQ(ExtraReferences(e), 4);
    EXPECT_EQ(Ioctl(h, IOCTL_UNREGISTER_EVENTS, {}, 0).status, 0);
    EXPECT_EQ(ExtraReferences(e), 0);
}

TEST_F(HandlesTest, TheGeneralEventSetsSlotZeroOnEveryHandle)
{
    um::HANDLE a = OpenShared(), b = OpenShared(), c = OpenShared();
    um::HANDLE shared = NewEvent(), own = NewEvent();
    Ioctl(a, IOCTL_REGISTER_EVENTS, Entries({{EVENT_GENERAL, shared}}), 0);
    Ioctl(b, IOCTL_REGISTER_EVENTS, Entries({{EVENT_GENERAL, shared}}), 0);
    Ioctl(c, IOCTL_REGISTER_EVENTS, Entries({{EVENT_DI_INT0, own}}), 0);
    EXPECT_EQ(Ioctl(c, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0).status, 0);
    EXPECT_EQ(EventSets(shared), 2u);
    EXPECT_EQ(EventSets(own), 0u);
    EXPECT_EQ(um::WaitForSingleObject(shared, 0), um::kWaitObject0);
}

TEST_F(HandlesTest, TheLastCloseInAnotherProcessUnmapsInTheOpeners)
{
    um::HANDLE h = OpenShared();
    SHARED_BLOCK* view = SharedOf(h);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(process->MappingCount(), 1u);

    // Hand the file to another process, close it here, and let the other
    // process drop the last reference.
    auto other = machine->NewProcess("other");
    sim::HandleEntry entry;
    ASSERT_TRUE(process->ReferenceHandle(h, &entry));
    um::HANDLE copy = other->InsertHandle(entry.object, entry.granted);
    EXPECT_EQ(um::CloseHandle(h), 0);
    EXPECT_EQ(process->MappingCount(), 1u);
    {
        sim::ProcessScope scope(other.get());
        EXPECT_EQ(um::CloseHandle(copy), 0);
    }
    EXPECT_EQ(process->MappingCount(), 0u);
    EXPECT_EQ(other->MappingCount(), 0u);
}

TEST_F(HandlesTest, AMappingThatRaisesFailsTheOpenAndLeavesNothing)
{
    auto& verifier = sim::Verifier::Instance();
    verifier.ArmFault("MmMapLockedPagesSpecifyCache", 1, sim::Verifier::FaultKind::Raise);
    um::HANDLE h = nullptr;
    EXPECT_EQ(um::CreateFile(machine->devicePath().c_str(), kSharedAccess | um::kFileWriteAttributes, &h),
              ERR_NO_MEMORY);
    EXPECT_EQ(process->MappingCount(), 0u);
    // The failed privileged open left no privileged handle behind.
    OpenPrivileged();

    // A mapping that comes back null without raising gives a usable handle
    // whose shared address is zero.
    verifier.ArmFault("MmMapLockedPagesSpecifyCache", 1, sim::Verifier::FaultKind::Fail);
    um::HANDLE unmapped = OpenShared();
    auto address = Ioctl(unmapped, IOCTL_GET_SHARED_ADDRESS, {}, 4);
    EXPECT_EQ(address.status, 0);
    EXPECT_EQ(address.output, std::vector<uint8_t>(4, 0));
    EXPECT_EQ(um::CloseHandle(unmapped), 0);
}

}  // namespace
