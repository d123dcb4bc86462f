// The driver's registry routines and board-number search, called directly at
// passive level with the driver loaded, against the simulated registry.
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "registry/registry.h"
#include "support/registry_support.h"
#include "support/sim_test.h"

namespace {

using sim::RegValue;
using simtest::DeviceKey;
using simtest::kServiceKey;
using simtest::CountViolations;

const std::u16string kService16 = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";

class RegistryRoutinesTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::Registry::Instance().UseMemoryOnly();
        machine = std::make_unique<sim::Machine>();
        ASSERT_EQ(machine->LoadDriver(DriverEntry), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        machine.reset();
        SimTest::TearDown();
    }
    std::unique_ptr<sim::Machine> machine;
};

struct Walk {
    std::vector<std::u16string> names;
    size_t stopAfter = SIZE_MAX;
};

NTSTATUS Collect(PVOID context, PCWSTR, PCWSTR name, PBOOLEAN more)
{
    auto* walk = static_cast<Walk*>(context);
    walk->names.emplace_back(name);
    *more = walk->names.size() < walk->stopAfter;
    return walk->names.size() == walk->stopAfter ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

TEST_F(RegistryRoutinesTest, OpenDeviceKeyCreatesOnlyWhenAsked)
{
    WDFKEY key;
    EXPECT_EQ(OpenDeviceKey(FALSE, kService16.c_str(), 7, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::Registry::Instance().KeyExists(kServiceKey));
    ASSERT_EQ(OpenDeviceKey(TRUE, kService16.c_str(), 7, &key), STATUS_SUCCESS);
    CloseKey(key);
    ASSERT_EQ(OpenDeviceKey(TRUE, kService16.c_str(), 1023, &key), STATUS_SUCCESS);
    CloseKey(key);
    EXPECT_EQ(sim::Registry::Instance().Subkeys(kServiceKey), (std::vector<std::string>{"Device007", "Device1023"}));
    EXPECT_EQ(OpenDeviceKey(FALSE, nullptr, 7, &key), ERR_NULL_ARGUMENT);
}

TEST_F(RegistryRoutinesTest, TheWalkHandsOnWholeNamesInOrder)
{
    auto& registry = sim::Registry::Instance();
    // Names that outgrow the first buffer, one that fills it to the last
    // character, and one much longer.
    const std::vector<std::string> names = {"A0", "A0bcd", "A0bcde", "A0bcdef", "B" + std::string(200, 'x'), "c1"};
    for (const auto& name : names)
        registry.CreateKey(kServiceKey + "\\" + name);
    Walk walk;
    EXPECT_EQ(EnumerateSubkeys(kService16.c_str(), Collect, &walk), STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(walk.names.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(walk.names[i], std::u16string(names[i].begin(), names[i].end()));

    Walk stopped;
    stopped.stopAfter = 3;
    EXPECT_EQ(EnumerateSubkeys(kService16.c_str(), Collect, &stopped), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stopped.names.size(), 3u);

    Walk none;
    EXPECT_EQ(EnumerateSubkeys(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Absent", Collect, &none),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_TRUE(none.names.empty());
    EXPECT_EQ(sim::PoolOutstanding("REGP"), 0u);
}

TEST_F(RegistryRoutinesTest, TheWalkEndsWithTheEnumerationsFailure)
{
    sim::Registry::Instance().CreateKey(kServiceKey + "\\Device000");
    sim::Verifier::Instance().ArmFault("ZwEnumerateKey", 2);
    Walk walk;
    EXPECT_EQ(EnumerateSubkeys(kService16.c_str(), Collect, &walk), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(walk.names.empty());
    sim::Verifier::Instance().ArmFault("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(EnumerateSubkeys(kService16.c_str(), Collect, &walk), ERR_NO_MEMORY);
}

TEST_F(RegistryRoutinesTest, WriteValueTableLengthsByType)
{
    WDFKEY key;
    ASSERT_EQ(OpenDeviceKey(TRUE, kService16.c_str(), 0, &key), STATUS_SUCCESS);
    WCHAR ab[] = u"ab";
    WCHAR multi[] = u"a\0bc\0";
    WCHAR empty[] = u"\0";
    UCHAR bytes[6] = {1, 2, 3, 4, 5, 6};
    ULONG dword = 9;
    VALUE_TABLE_ROW rows[] = {
        {u"Sz", REG_SZ, 0, ab},       {u"Multi", REG_MULTI_SZ, 0, multi}, {u"Empty", REG_MULTI_SZ, 0, empty},
        {u"Bin", REG_BINARY, 5, bytes}, {u"Dword", REG_DWORD, 99, &dword},  {u"Expand", 2, 4, ab},
        {u"After", REG_DWORD, 4, &dword}, {nullptr, 0, 0, nullptr},
    };
    EXPECT_EQ(WriteValueTable(key, rows), STATUS_INVALID_PARAMETER);
    auto& registry = sim::Registry::Instance();
    auto size = [&](const char* name) { return registry.GetValue(DeviceKey(0), name)->data.size(); };
    EXPECT_EQ(size("Sz"), 6u);
    EXPECT_EQ(size("Multi"), 12u);
    EXPECT_EQ(size("Empty"), 2u);
    EXPECT_EQ(size("Bin"), 5u);
    EXPECT_EQ(size("Dword"), 4u);
    EXPECT_FALSE(registry.GetValue(DeviceKey(0), "After"));

    sim::Verifier::Instance().ArmFault("WdfRegistryAssignValue", 1, sim::Verifier::FaultKind::Raise);
    EXPECT_EQ(WriteValueTable(key, rows), ERR_BUFFER_TOO_SMALL);
    VALUE_TABLE_ROW nothing[] = {{nullptr, 0, 0, nullptr}};
    EXPECT_EQ(WriteValueTable(key, nothing), STATUS_SUCCESS);
    EXPECT_EQ(WriteValueTable(nullptr, rows), ERR_NULL_ARGUMENT);
    CloseKey(key);
}

TEST_F(RegistryRoutinesTest, ReadValueTableStopsAtTheFirstFailingRow)
{
    auto& registry = sim::Registry::Instance();
    registry.SetValue(DeviceKey(0), "First", RegValue::Dword(11));
    registry.SetValue(DeviceKey(0), "Third", RegValue::Dword(33));
    WDFKEY key;
    ASSERT_EQ(OpenDeviceKey(FALSE, kService16.c_str(), 0, &key), STATUS_SUCCESS);
    ULONG first = 0, second = 0, third = 0;
    VALUE_TABLE_ROW rows[] = {{u"First", REG_DWORD, 4, &first},
                              {u"Second", REG_DWORD, 4, &second},
                              {u"Third", REG_DWORD, 4, &third},
                              {nullptr, 0, 0, nullptr}};
    EXPECT_EQ(ReadValueTable(key, rows), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(first, 11u);
    EXPECT_EQ(rows[0].Length, 4u);
    EXPECT_EQ(third, 0u);
    CloseKey(key);
}

TEST_F(RegistryRoutinesTest, PrefixesAndNumbers)
{
    EXPECT_FALSE(HasPrefix(u"Dev", u"Device"));
    EXPECT_FALSE(HasPrefix(u"device005", u"Device"));
    EXPECT_TRUE(HasPrefix(u"Device005", u"Device"));
    EXPECT_TRUE(HasPrefix(u"x", u""));
    EXPECT_EQ(NumberAfterPrefix(u"Device042", u"Device"), 42u);
    EXPECT_EQ(NumberAfterPrefix(u"Device1023", u"Device"), 1023u);
    EXPECT_EQ(NumberAfterPrefix(u"DeviceX", u"Device"), 0xFFFFFFFFu);
    EXPECT_EQ(NumberAfterPrefix(u"Dev", u"Device"), 0xFFFFFFFFu);
}

class BoardNumbersTest : public RegistryRoutinesTest {
protected:
    void Record(unsigned number, uint32_t product, uint32_t boardId, uint32_t bus, uint32_t slot)
    {
        auto& registry = sim::Registry::Instance();
        registry.SetValue(DeviceKey(number), "ProductID", RegValue::Dword(product));
        registry.SetValue(DeviceKey(number), "BoardID", RegValue::Dword(boardId));
        registry.SetValue(DeviceKey(number), "BusNumber", RegValue::Dword(bus));
        registry.SetValue(DeviceKey(number), "SlotNumber", RegValue::Dword(slot));
    }
};

TEST_F(BoardNumbersTest, WithoutAServiceKeyNothingIsFoundAndZeroIsFree)
{
    ULONG number = 5;
    EXPECT_EQ(FindBoardById(kService16.c_str(), 0x88, 3, &number), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(number, 0xFFFFFFFFu);
    number = 5;
    EXPECT_EQ(FindBoardByLocation(kService16.c_str(), 0x88, 1, 1, &number), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(number, 0xFFFFFFFFu);
    EXPECT_EQ(AllocateBoardNumber(&number), STATUS_SUCCESS);
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(FindBoardById(kService16.c_str(), 0x88, 3, nullptr), ERR_NULL_ARGUMENT);
}

TEST_F(BoardNumbersTest, AllocationTakesTheLowestNumberWithoutAKey)
{
    auto& registry = sim::Registry::Instance();
    for (const char* name : {"Device000", "Device002", "MapEntry", "Other", "Device1024", "Device1000"})
        registry.CreateKey(kServiceKey + "\\" + name);
    ULONG number;
    EXPECT_EQ(AllocateBoardNumber(&number), STATUS_SUCCESS);
    EXPECT_EQ(number, 1u);
    for (unsigned n = 0; n < 1024; ++n)
        registry.CreateKey(DeviceKey(n));
    EXPECT_EQ(AllocateBoardNumber(&number), STATUS_IMPLEMENTATION_LIMIT);
    EXPECT_EQ(number, 0xFFFFFFFFu);
}

TEST_F(BoardNumbersTest, ById)
{
    Record(3, 0x88, 4, 1, 1);
    Record(6, 0x88, 5, 9, 9);
    Record(7, 0x88, 5, 2, 2);
    ULONG number;
    EXPECT_EQ(FindBoardById(kService16.c_str(), 0x88, 5, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 6u);  // the first key that matches, wherever it sits
    EXPECT_EQ(FindBoardById(kService16.c_str(), 0x77, 5, &number), STATUS_NO_MORE_ENTRIES);
}

TEST_F(BoardNumbersTest, ByLocationOnlyForBoardsWithoutIdWhoseEntryDoesNotOpen)
{
    Record(1, 0x88, 3, 2, 14);  // same place, but it has an ID
    Record(2, 0x88, 0, 2, 14);
    auto& registry = sim::Registry::Instance();
    registry.SetValue(kServiceKey + "\\MapEntry", "2", RegValue::String("\\\\.\\NoSuchDevice"));
    ULONG number;
    EXPECT_EQ(FindBoardByLocation(kService16.c_str(), 0x88, 2, 14, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 2u);
    EXPECT_FALSE(IsBoardAlive(2));
    EXPECT_FALSE(IsBoardAlive(5));

    // A key without BusNumber reads as bus 0.
    registry.SetValue(DeviceKey(4), "ProductID", RegValue::Dword(0x66));
    registry.SetValue(DeviceKey(4), "SlotNumber", RegValue::Dword(3));
    EXPECT_EQ(FindBoardByLocation(kService16.c_str(), 0x66, 0, 3, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 4u);
}

TEST_F(BoardNumbersTest, AKeyWithAValueOfAnotherTypeIsSkipped)
{
    auto& registry = sim::Registry::Instance();
    registry.SetValue(DeviceKey(0), "ProductID", RegValue::Binary({0x88, 0, 0, 0, 0, 0, 0, 0}));
    registry.SetValue(DeviceKey(0), "BoardID", RegValue::Dword(5));
    // A REG_DWORD of the wrong length, as a process can plant through the
    // value request, is refused the same way.
    registry.SetValue(DeviceKey(1), "ProductID", RegValue::Dword(0x88));
    registry.SetValue(DeviceKey(1), "BoardID", RegValue::Dword(5));
    registry.SetValue(DeviceKey(1), "SlotNumber", RegValue{4, std::vector<uint8_t>(10, 0x41)});
    registry.SetValue(DeviceKey(2), "ProductID", RegValue{4, {}});
    registry.SetValue(DeviceKey(2), "BoardID", RegValue::Dword(5));
    Record(3, 0x88, 5, 1, 1);
    ULONG number;
    size_t overruns = CountViolations(sim::rule::kRegistryDirectOverrun, [&] {
        EXPECT_EQ(FindBoardById(kService16.c_str(), 0x88, 5, &number), STATUS_SUCCESS);
    });
    EXPECT_EQ(overruns, 0u);
    EXPECT_EQ(number, 3u);
}

}  // namespace
