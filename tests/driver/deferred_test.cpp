// The requests that run at passive level in a work item: values of the
// board's device key and the device's location.
#include <future>
#include <thread>

#include "device/device_context.h"
#include "support/registry_support.h"
#include "support/sim_test.h"
#include "wdf/work_items.h"

namespace {

using sim::RegValue;
using simtest::Bytes;
using simtest::DeviceKey;
using simtest::Ioctl;

constexpr int32_t kBufferOverflow = static_cast<int32_t>(0x80000005);
constexpr int32_t kNotFound = static_cast<int32_t>(0xC0000034);
constexpr int32_t kInvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0xC0000023);

std::vector<uint8_t> Name(const std::u16string& name)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : name) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> WriteInput(const std::u16string& name, uint32_t type, std::vector<uint8_t> data,
                                uint32_t declaredLength)
{
    std::vector<uint8_t> input(140, 0);
    auto encoded = Name(name);
    std::copy(encoded.begin(), encoded.end(), input.begin() + 4);
    auto head = Bytes({type, declaredLength});
    std::copy(head.begin(), head.end(), input.begin() + 132);
    input.insert(input.end(), data.begin(), data.end());
    return input;
}

class DeferredTest : public simtest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        handle = OpenShared();
        number = machine->extension()->Shared->BoardNumber;
    }
    um::HANDLE handle = nullptr;
    uint32_t number = 0;
};

TEST_F(DeferredTest, ReadingAValueReportsItsStoredLength)
{
    auto read = Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"ProductID"), 8);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.bytes, 4u);
    EXPECT_EQ(std::vector<uint8_t>(read.output.begin(), read.output.begin() + 4), Bytes({0x88}));
    auto tooSmall = Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"ProductID"), 2);
    EXPECT_EQ(tooSmall.status, kBufferOverflow);
    EXPECT_EQ(tooSmall.bytes, 0u);
    auto missing = Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"NoSuchValue"), 8);
    EXPECT_EQ(missing.status, kNotFound);
    EXPECT_EQ(missing.bytes, 0u);
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DEVICE_VALUE, {}, 8).status, ERR_NULL_ARGUMENT);
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"ProductID"), 0).status, ERR_NULL_ARGUMENT);
}

TEST_F(DeferredTest, AValueNameMustEndInsideTheInput)
{
    auto unterminated = Name(u"ProductID");
    unterminated.resize(unterminated.size() - 2);
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DEVICE_VALUE, unterminated, 8).status, kInvalidParameter);
}

TEST_F(DeferredTest, WritingAValueStoresItAndLeavesTheBlockUntilTheNextStart)
{
    auto tooShort = WriteInput(u"DiInversePorts", 3, {0xFF, 0, 0}, 3);
    EXPECT_EQ(Ioctl(handle, IOCTL_WRITE_DEVICE_VALUE, tooShort, 0).status, ERR_NULL_ARGUMENT);
    auto write = WriteInput(u"DiInversePorts", 3, {0xFF, 0, 0, 0x0F}, 4);
    auto result = Ioctl(handle, IOCTL_WRITE_DEVICE_VALUE, write, 0);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.bytes, 0u);
    auto stored = sim::Registry::Instance().GetValue(DeviceKey(number), "DiInversePorts");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, 3u);
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{0xFF, 0, 0, 0x0F}));
    SHARED_BLOCK* shared = SharedOf(handle);
    EXPECT_EQ(shared->DiInversePorts[0], 0);
    EXPECT_EQ(um::CloseHandle(handle), 0);

    machine->machine().Stop(0);
    ASSERT_EQ(machine->machine().Start(0), STATUS_SUCCESS);
    um::HANDLE again = OpenShared();
    EXPECT_EQ(SharedOf(again)->DiInversePorts[0], 0xFF);
    EXPECT_EQ(SharedOf(again)->DiInversePorts[3], 0x0F);
}

TEST_F(DeferredTest, AWriteMustStayInsideItsInput)
{
    struct Case {
        std::vector<uint8_t> input;
        int32_t status;
    };
    auto longName = WriteInput(u"", 4, {1, 0, 0, 0}, 4);
    for (int i = 4; i < 132; ++i)
        longName[i] = 'A';  // no terminator inside the name's field
    const Case cases[] = {
        {WriteInput(u"Counter", 4, {1, 0, 0, 0}, 4), 0},
        {WriteInput(u"Counter", 4, {1, 0, 0, 0}, 5), kInvalidParameter},
        {WriteInput(u"Counter", 3, {1, 2, 3, 4}, 0xFFFFFFFF), kInvalidParameter},
        {longName, kInvalidParameter},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ioctl(handle, IOCTL_WRITE_DEVICE_VALUE, c.input, 0).status, c.status);
    EXPECT_EQ(simtest::StoredDword(number, "Counter"), 1u);
}

TEST_F(DeferredTest, ARemovedDeviceKeyIsNotCreatedAgain)
{
    sim::Registry::Instance().DeleteKey(DeviceKey(number));
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"ProductID"), 8).status, kNotFound);
    EXPECT_EQ(Ioctl(handle, IOCTL_WRITE_DEVICE_VALUE, WriteInput(u"X", 4, {1, 0, 0, 0}, 4), 0).status, kNotFound);
    EXPECT_FALSE(sim::Registry::Instance().KeyExists(DeviceKey(number)));
}

TEST_F(DeferredTest, TheLocationReportsItsLengthWithTheTerminator)
{
    const std::u16string text = u"PCI bus 2, device 14, function 0";
    auto location = Ioctl(handle, IOCTL_GET_LOCATION, {}, 200);
    EXPECT_EQ(location.status, 0);
    EXPECT_EQ(location.bytes, (text.size() + 1) * 2);
    EXPECT_EQ(simtest::Utf16(location.output).substr(0, text.size()), text);
    auto tooShort = Ioctl(handle, IOCTL_GET_LOCATION, {}, 10);
    EXPECT_EQ(tooShort.status, kBufferTooSmall);
    EXPECT_EQ(tooShort.bytes, 0u);
    EXPECT_EQ(Ioctl(handle, IOCTL_GET_LOCATION, {}, 0).status, ERR_NULL_ARGUMENT);
}

TEST_F(DeferredTest, TheBoardNumberIsTheDriversNotTheBlocks)
{
    sim::Registry::Instance().SetValue(DeviceKey(number + 1), "Secret", RegValue::Dword(42));
    SharedOf(handle)->BoardNumber = number + 1;
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DEVICE_VALUE, Name(u"Secret"), 4).status, kNotFound);
}

TEST_F(DeferredTest, AWorkItemThatCannotBeCreatedCompletesTheRequestWithItsStatus)
{
    sim::Verifier::Instance().ArmFault("WdfWorkItemCreate", 1);
    EXPECT_EQ(Ioctl(handle, IOCTL_GET_LOCATION, {}, 200).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Ioctl(handle, IOCTL_GET_LOCATION, {}, 200).status, 0);
}

class SteppedDeferredTest : public simtest::DeviceTest {
protected:
    SteppedDeferredTest() { options.deterministic = true; }
};

TEST_F(SteppedDeferredTest, TheWorkItemCompletesTheRequestNotTheDispatcher)
{
    um::HANDLE handle = OpenShared();
    auto pending = std::async(std::launch::async, [&] {
        sim::ProcessScope scope(process.get());
        return Ioctl(handle, IOCTL_GET_LOCATION, {}, 200);
    });
    // The request sits with its work item until the test runs it.
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    size_t ran = 0;
    while (pending.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        ran += sim::WorkQueue::Instance().RunPending();
    EXPECT_EQ(ran, 1u);
    EXPECT_EQ(pending.get().status, 0);
    EXPECT_EQ(sim::wdf::LiveObjectCount(sim::wdf::Kind::WorkItem), 0u);
}

}  // namespace
