// Starting boards end to end: board numbers found again or allocated, the
// board table, the registry record and map entry, user settings read back,
// and the resource lists the driver accepts.
#include <cstdio>
#include <filesystem>
#include <thread>

#include "device/device_context.h"
#include "io/io_manager.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "support/registry_support.h"
#include "support/sim_test.h"

namespace {

using sim::BoardSlot;
using sim::Machine;
using sim::RegValue;
using simtest::DeviceKey;
using simtest::kServiceKey;
using simtest::StoredDword;

PDEVICE_EXTENSION Extension(Machine& machine, size_t index) { return GetDeviceExtension(machine.Device(index)); }

BoardSlot Board(uint32_t bus, uint32_t device, uint8_t boardId)
{
    BoardSlot slot;
    slot.location = {bus, device, 0};
    slot.boardIdSwitch = boardId;
    return slot;
}

class PreparationTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::Registry::Instance().UseMemoryOnly();
    }
};

TEST_F(PreparationTest, ANewBoardGetsTheLowestFreeNumberAndAFullRecord)
{
    auto& registry = sim::Registry::Instance();
    registry.CreateKey(DeviceKey(0));
    registry.CreateKey(DeviceKey(2));
    Machine machine;
    machine.AddBoard(Board(2, 14, 3));
    ASSERT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_SUCCESS});
    const SHARED_BLOCK* shared = Extension(machine, 0)->Shared;
    EXPECT_EQ(shared->BoardNumber, 1u);
    EXPECT_EQ(shared->BoardID, 3u);
    EXPECT_EQ(shared->InitOnLoad, 1u);

    const std::vector<std::string> order = {"DriverName", "DeviceDesc", "ProductID", "KernelKey",
                                            "BoardID", "BusNumber", "SlotNumber", "BaseAddress",
                                            "Interrupt", "InitOnLoad", "DiintTrigEdge", "DiInversePorts"};
    EXPECT_EQ(registry.ValueNames(DeviceKey(1)), order);
    auto text = [&](const std::string& name) { return simtest::Utf16(registry.GetValue(DeviceKey(1), name)->data); };
    EXPECT_EQ(text("DeviceDesc"), std::u16string(u"MDX-4208,BID#3") + u'\0');
    EXPECT_EQ(registry.GetValue(DeviceKey(1), "DeviceDesc")->data.size(), 30u);
    EXPECT_EQ(registry.GetValue(DeviceKey(1), "DriverName")->data.size(), 24u);
    EXPECT_EQ(text("KernelKey"), std::u16string(u"mdx4208") + u'\0');
    EXPECT_EQ(StoredDword(1, "ProductID"), 0x88u);
    EXPECT_EQ(StoredDword(1, "BusNumber"), 2u);
    EXPECT_EQ(StoredDword(1, "SlotNumber"), 14u);
    EXPECT_EQ(StoredDword(1, "BaseAddress"), machine.PortBase(0));
    EXPECT_EQ(StoredDword(1, "Interrupt"), 11u);
    EXPECT_EQ(registry.GetValue(DeviceKey(1), "DiintTrigEdge")->data, (std::vector<uint8_t>{1, 1, 1, 1}));
    EXPECT_EQ(registry.GetValue(DeviceKey(1), "DiInversePorts")->data, (std::vector<uint8_t>{0, 0, 0, 0}));

    // The map entry: "\\." and the rest of the interface path, no terminator.
    auto entry = registry.GetValue(kServiceKey + "\\MapEntry", "1");
    ASSERT_TRUE(entry);
    std::u16string interface = machine.InterfacePath(0);  // "\\?\rest"
    std::u16string stored = simtest::Utf16(entry->data);
    EXPECT_EQ(stored, u"\\\\." + interface.substr(3));
    EXPECT_EQ(entry->data.size(), interface.size() * 2);
}

TEST_F(PreparationTest, NumbersSurviveARestartOverTheSameStore)
{
    auto store = std::filesystem::temp_directory_path() / ("mdx-prep-" + std::to_string(::getpid()) + ".sqlite");
    std::filesystem::remove(store);
    auto& registry = sim::Registry::Instance();
    registry.OpenStore(store.string());
    {
        Machine machine;
        machine.AddBoard(Board(1, 3, 0));
        machine.AddBoard(Board(1, 4, 7));
        ASSERT_EQ(machine.Boot(DriverEntry), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    }
    registry.CloseStore();
    registry.UseMemoryOnly();
    registry.OpenStore(store.string());
    {
        // The BoardID 7 board moved to another slot, and comes first now.
        Machine machine;
        machine.AddBoard(Board(5, 9, 7));
        machine.AddBoard(Board(1, 3, 0));
        ASSERT_EQ(machine.Boot(DriverEntry), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
        EXPECT_EQ(Extension(machine, 0)->Shared->BoardNumber, 1u);
        EXPECT_EQ(Extension(machine, 1)->Shared->BoardNumber, 0u);
        EXPECT_EQ(StoredDword(1, "BusNumber"), 5u);
        EXPECT_EQ(StoredDword(1, "SlotNumber"), 9u);
    }
    registry.CloseStore();
    registry.UseMemoryOnly();
    std::filesystem::remove(store);
}

TEST_F(PreparationTest, ABoardWithoutIdIsFoundByLocationOnlyWhileItsEntryDoesNotOpen)
{
    Machine machine;
    machine.AddBoard(Board(2, 14, 0));
    machine.AddBoard(Board(2, 14, 0));  // a second function at the same place
    machine.Slot(1).location.function = 1;
    ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS);
    ASSERT_EQ(machine.Start(0), STATUS_SUCCESS);
    // Same bus and slot, but the board of that number answers: a new number.
    ASSERT_EQ(machine.AddDevice(1), STATUS_SUCCESS);
    ASSERT_EQ(machine.Start(1), STATUS_SUCCESS);
    EXPECT_EQ(Extension(machine, 0)->Shared->BoardNumber, 0u);
    EXPECT_EQ(Extension(machine, 1)->Shared->BoardNumber, 1u);
    // Once the first is gone, a restart of the second finds... the first key
    // that matches and does not open: number 0.
    machine.Remove(0);
    machine.Stop(1);
    ASSERT_EQ(machine.Start(1), STATUS_SUCCESS);
    EXPECT_EQ(Extension(machine, 1)->Shared->BoardNumber, 0u);
}

TEST_F(PreparationTest, ASecondBoardWithTheSameIdIsRefusedAndWritesNothing)
{
    Machine machine;
    machine.AddBoard(Board(1, 1, 5));
    machine.AddBoard(Board(1, 2, 5));
    auto statuses = machine.Boot(DriverEntry);
    EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_OBJECT_NAME_COLLISION}));
    EXPECT_EQ(Extension(machine, 1)->Prepared, 0u);
    EXPECT_EQ(sim::Registry::Instance().Subkeys(kServiceKey), (std::vector<std::string>{"Device000", "MapEntry"}));
    EXPECT_EQ(StoredDword(0, "SlotNumber"), 1u);
    EXPECT_EQ(BoardTable.Count, 1u);
    // The first board's release frees the ID for the second.
    machine.Stop(0);
    EXPECT_EQ(BoardTable.Count, 0u);
    EXPECT_EQ(machine.Start(1), STATUS_SUCCESS);
}

TEST_F(PreparationTest, ReleaseRemovesTheKeyEnteredWhateverTheBlockSays)
{
    Machine machine;
    machine.AddBoard(Board(1, 1, 5));
    ASSERT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_SUCCESS});
    Extension(machine, 0)->Shared->BoardID = 9;  // as a process may through its mapping
    Extension(machine, 0)->Shared->ProductID = 0;
    machine.Stop(0);
    EXPECT_EQ(BoardTable.Count, 0u);
}

TEST_F(PreparationTest, AKnownBoardsStoredSettingsReplaceTheDefaults)
{
    auto& registry = sim::Registry::Instance();
    struct Case {
        std::vector<std::pair<std::string, RegValue>> stored;
        uint32_t initOnLoad;
        std::vector<uint8_t> edges, inverse;
    };
    const Case cases[] = {
        {{{"InitOnLoad", RegValue::Dword(0)}, {"DiintTrigEdge", RegValue::Binary({0, 2, 1, 0})},
          {"DiInversePorts", RegValue::Binary({0xFF, 0, 0x0F, 0})}},
         0, {0, 2, 1, 0}, {0xFF, 0, 0x0F, 0}},
        // The read stops at the first value that is missing.
        {{{"DiintTrigEdge", RegValue::Binary({0, 0, 0, 0})}}, 1, {1, 1, 1, 1}, {0, 0, 0, 0}},
        // A 2-byte mask fills the first two bytes only.
        {{{"InitOnLoad", RegValue::Dword(7)}, {"DiintTrigEdge", RegValue::Binary({3, 3, 3, 3})},
          {"DiInversePorts", RegValue::Binary({0xAA, 0xBB})}},
         7, {3, 3, 3, 3}, {0xAA, 0xBB, 0, 0}},
        // A value larger than its field ends the read at that row.
        {{{"InitOnLoad", RegValue::Dword(5)}, {"DiintTrigEdge", RegValue::Binary({2, 2, 2, 2, 2, 2, 2, 2})},
          {"DiInversePorts", RegValue::Binary({1, 1, 1, 1})}},
         5, {1, 1, 1, 1}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        registry.UseMemoryOnly();
        registry.SetValue(DeviceKey(4), "ProductID", RegValue::Dword(0x88));
        registry.SetValue(DeviceKey(4), "BoardID", RegValue::Dword(6));
        for (const auto& [name, value] : c.stored)
            registry.SetValue(DeviceKey(4), name, value);
        Machine machine;
        machine.AddBoard(Board(3, 3, 6));
        ASSERT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_SUCCESS});
        const SHARED_BLOCK* shared = Extension(machine, 0)->Shared;
        EXPECT_EQ(shared->BoardNumber, 4u);
        EXPECT_EQ(shared->InitOnLoad, c.initOnLoad);
        EXPECT_EQ(std::vector<uint8_t>(shared->DiintTrigEdge, shared->DiintTrigEdge + 4), c.edges);
        EXPECT_EQ(std::vector<uint8_t>(shared->DiInversePorts, shared->DiInversePorts + 4), c.inverse);
        // The identity values were rewritten from the board as it is now.
        EXPECT_EQ(StoredDword(4, "BusNumber"), 3u);
    }
}

TEST_F(PreparationTest, ResourceListsTheDriverRefuses)
{
    struct Case {
        sim::ResourceShape shape;
        NTSTATUS status;
    };
    for (Case c : {Case{sim::ResourceShape::NullDescriptor, STATUS_DEVICE_CONFIGURATION_ERROR},
                   Case{sim::ResourceShape::NoInterrupt, STATUS_DEVICE_CONFIGURATION_ERROR},
                   Case{sim::ResourceShape::NoPort, STATUS_DEVICE_CONFIGURATION_ERROR},
                   Case{sim::ResourceShape::ShortPortRange, STATUS_DEVICE_CONFIGURATION_ERROR}}) {
        sim::Registry::Instance().UseMemoryOnly();
        Machine machine;
        BoardSlot slot = Board(1, 1, 2);
        slot.resources = c.shape;
        machine.AddBoard(slot);
        machine.Board(0).ClearPortLog();
        EXPECT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{c.status});
        // No register is read at a port the board was not given.
        EXPECT_TRUE(machine.Board(0).PortLog().empty());
        EXPECT_FALSE(sim::Registry::Instance().KeyExists(kServiceKey));
        if (c.shape == sim::ResourceShape::NoInterrupt) {
            EXPECT_EQ(Extension(machine, 0)->Shared->InterruptLevel, 0xFFFFFFFFu);
        }
    }
}

TEST_F(PreparationTest, TheLastPortRangeAndTheFirstInterruptWin)
{
    Machine machine;
    BoardSlot slot = Board(1, 1, 0);
    slot.resources = sim::ResourceShape::TwoPortRanges;
    slot.boardIdUpperNibble = 0xF;
    machine.AddBoard(slot);
    ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS);
    // The second range is outside the board: its board-ID read answers all ones,
    // which gives BoardID 15 once masked.
    EXPECT_EQ(machine.Start(0), STATUS_SUCCESS);
    const SHARED_BLOCK* shared = Extension(machine, 0)->Shared;
    EXPECT_EQ(shared->BaseAddress, machine.PortBase(0) + 0x80);
    EXPECT_EQ(shared->PortLength, 0x40u);
    EXPECT_EQ(shared->BoardID, 15u);
}

TEST_F(PreparationTest, TheBoardIdRegistersUpperBitsAreIgnored)
{
    Machine machine;
    BoardSlot slot = Board(1, 1, 3);
    slot.boardIdUpperNibble = 0xF;
    machine.AddBoard(slot);
    ASSERT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(machine.Board(0).Register(4), 0xF3);
    EXPECT_EQ(Extension(machine, 0)->Shared->BoardID, 3u);
}

TEST_F(PreparationTest, APreparedBoardIsNotPreparedAgain)
{
    Machine machine;
    machine.AddBoard(Board(1, 1, 3));
    ASSERT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_SUCCESS});
    machine.Board(0).ClearPortLog();
    sim::IrqlScope passive(sim::kPassive);
    EXPECT_EQ(PrepareHardware(machine.Device(0), nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Board(0).PortLog().empty());
}

TEST_F(PreparationTest, FailingRecordWritesDoNotFailTheStart)
{
    for (const char* operation : {"WdfRegistryCreateKey", "WdfRegistryAssignValue", "WdfStringCreate"}) {
        sim::Registry::Instance().UseMemoryOnly();
        Machine machine;
        machine.AddBoard(Board(1, 1, 3));
        ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS);
        sim::Verifier::Instance().ArmFault(operation, 1);
        EXPECT_EQ(machine.Start(0), STATUS_SUCCESS) << operation;
        EXPECT_EQ(Extension(machine, 0)->Prepared, 1u) << operation;
        sim::Verifier::Instance().DisarmFaults();
    }
}

TEST_F(PreparationTest, NewBoardsStartedAtOnceGetDistinctNumbers)
{
    for (int round = 0; round < 10; ++round) {
        sim::Registry::Instance().UseMemoryOnly();
        Machine machine;
        machine.AddBoard(Board(1, 1, 1));
        machine.AddBoard(Board(1, 2, 2));
        ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS);
        ASSERT_EQ(machine.AddDevice(1), STATUS_SUCCESS);
        NTSTATUS first = 0, second = 0;
        std::thread a([&] { first = machine.Start(0); });
        std::thread b([&] { second = machine.Start(1); });
        a.join();
        b.join();
        ASSERT_EQ(first, STATUS_SUCCESS);
        ASSERT_EQ(second, STATUS_SUCCESS);
        ASSERT_NE(Extension(machine, 0)->Shared->BoardNumber, Extension(machine, 1)->Shared->BoardNumber);
    }
}

TEST_F(PreparationTest, AllNumbersTakenFailsTheStart)
{
    auto& registry = sim::Registry::Instance();
    for (unsigned n = 0; n < 1024; ++n)
        registry.SetValue(DeviceKey(n), "ProductID", RegValue::Dword(0x77));
    Machine machine;
    machine.AddBoard(Board(1, 1, 1));
    EXPECT_EQ(machine.Boot(DriverEntry), std::vector<NTSTATUS>{STATUS_IMPLEMENTATION_LIMIT});
    EXPECT_EQ(Extension(machine, 0)->Shared->BoardNumber, 0xFFFFFFFFu);
}

class BoardTableTest : public PreparationTest {};

TEST_F(BoardTableTest, FullDuplicateAndOrderedRemoval)
{
    Machine machine;
    ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
    for (ULONG id = 1; id <= 32; ++id)
        ASSERT_EQ(BoardTableAdd(0x88, id, id), STATUS_SUCCESS);
    EXPECT_EQ(BoardTableAdd(0x88, 33, 33), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(BoardTable.Count, 32u);
    for (ULONG id = 4; id <= 32; ++id)
        BoardTableRemove(0x88, id);
    EXPECT_EQ(BoardTableAdd(0x88, 2, 9), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(BoardTable.Count, 3u);
    EXPECT_EQ(BoardTableRemove(0x88, 2), STATUS_SUCCESS);
    ASSERT_EQ(BoardTable.Count, 2u);
    EXPECT_EQ(BoardTable.Entries[0].Key, (0x88u << 16) | 1);
    EXPECT_EQ(BoardTable.Entries[1].Key, (0x88u << 16) | 3);
    EXPECT_EQ(BoardTableRemove(0x88, 2), STATUS_SUCCESS);
    EXPECT_EQ(BoardTable.Count, 2u);
    for (ULONG id : {1u, 3u})
        BoardTableRemove(0x88, id);
}

}  // namespace
