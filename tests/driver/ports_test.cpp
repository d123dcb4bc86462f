// Raw port requests and the run of input ports, through the simulated I/O
// path: the range at its edges, the order of the checks, the cycling of the
// input ports with their masks, and a hostile mapping that cannot move the
// range.
#include "public/mdx4208_wire.h"
#include "support/sim_test.h"

namespace {

using simtest::Bytes;
using simtest::Ioctl;

constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0xC0000023);

class PortsTest : public simtest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        handle = OpenShared();
        machine->board().SetInputs(0x44332211);
        machine->board().ClearPortLog();
    }

    simtest::IoResult ReadPort(uint32_t port, uint32_t width, uint32_t inputLength = 4)
    {
        auto input = Bytes({port});
        input.resize(inputLength, 0);
        return Ioctl(handle, IOCTL_READ_PORT, input, width);
    }

    simtest::IoResult WritePort(uint32_t port, std::vector<uint8_t> data)
    {
        auto input = Bytes({port});
        input.insert(input.end(), data.begin(), data.end());
        return Ioctl(handle, IOCTL_WRITE_PORT, input, 0);
    }

    simtest::IoResult ReadDi(uint32_t start, uint32_t count, uint32_t outputLength)
    {
        return Ioctl(handle, IOCTL_READ_DI_PORTS, Bytes({start, count}), outputLength);
    }

    size_t PortAccesses() const { return machine->board().PortLog().size(); }

    um::HANDLE handle = nullptr;
};

TEST_F(PortsTest, ReadsInsideTheRangeAtItsEdges)
{
    struct Case {
        int64_t offset;
        uint32_t width;
        int32_t status;
    };
    const Case cases[] = {
        {28, 4, 0}, {29, 4, ERR_OUT_OF_RANGE}, {31, 1, 0}, {31, 2, ERR_OUT_OF_RANGE},
        {32, 1, ERR_OUT_OF_RANGE}, {-1, 1, ERR_OUT_OF_RANGE}, {-1, 2, ERR_OUT_OF_RANGE},
        {-1, 4, ERR_OUT_OF_RANGE}, {0, 3, ERR_UNSUPPORTED}, {30, 3, ERR_OUT_OF_RANGE},
    };
    for (const Case& c : cases) {
        machine->board().ClearPortLog();
        auto result = ReadPort(static_cast<uint32_t>(Base() + c.offset), c.width);
        EXPECT_EQ(result.status, c.status) << "offset " << c.offset << " width " << c.width;
        EXPECT_EQ(result.bytes, c.status == 0 ? c.width : 0u);
        EXPECT_EQ(PortAccesses(), c.status == 0 ? 1u : 0u) << "offset " << c.offset;
    }
}

TEST_F(PortsTest, ReadsReturnThePortValueLittleEndian)
{
    auto word = ReadPort(Base(), 4);
    EXPECT_EQ(word.output, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
    auto half = ReadPort(Base() + 2, 2);
    EXPECT_EQ(half.output, (std::vector<uint8_t>{0x33, 0x44}));
}

TEST_F(PortsTest, ReadChecksComeInOrder)
{
    const uint32_t outside = Base() + 100;
    EXPECT_EQ(ReadPort(Base(), 5, 3).status, ERR_BUFFER_TOO_SMALL);  // input before output
    EXPECT_EQ(ReadPort(Base(), 0).status, ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(ReadPort(outside, 5).status, ERR_TOO_LONG);  // length before range
    EXPECT_EQ(ReadPort(outside, 3).status, ERR_OUT_OF_RANGE);  // range before width
    EXPECT_EQ(ReadPort(Base(), 3).status, ERR_UNSUPPORTED);
    EXPECT_EQ(PortAccesses(), 0u);
}

TEST_F(PortsTest, WritesOfEachWidth)
{
    struct Case {
        std::vector<uint8_t> data;
        int32_t status;
    };
    const Case cases[] = {
        {{0x05}, 0}, {{0x05, 0x00}, 0}, {{0x05, 0, 0, 0}, 0},
        {{1, 2, 3}, ERR_UNSUPPORTED}, {{}, ERR_UNSUPPORTED}, {{1, 2, 3, 4, 5}, ERR_UNSUPPORTED},
    };
    for (const Case& c : cases) {
        machine->board().ClearPortLog();
        auto result = WritePort(Base() + 8, c.data);
        EXPECT_EQ(result.status, c.status) << c.data.size() << " data bytes";
        EXPECT_EQ(result.bytes, c.status == 0 ? c.data.size() : 0u);
        auto log = machine->board().PortLog();
        if (c.status == 0) {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_TRUE(log[0].write);
            EXPECT_EQ(log[0].offset, 8u);
            EXPECT_EQ(log[0].width, c.data.size());
        } else {
            EXPECT_TRUE(log.empty());
        }
    }
    EXPECT_EQ(machine->board().Register(8), 0x05);
}

TEST_F(PortsTest, WriteRangeIsCheckedWithTheDataLength)
{
    const uint32_t end = Base() + machine->portLength();
    EXPECT_EQ(WritePort(end, {}).status, ERR_UNSUPPORTED);  // width 0 fits at the end
    EXPECT_EQ(WritePort(end + 1, {}).status, ERR_OUT_OF_RANGE);
    EXPECT_EQ(WritePort(Base() - 1, {1}).status, ERR_OUT_OF_RANGE);
    EXPECT_EQ(WritePort(end - 1, {1, 2}).status, ERR_OUT_OF_RANGE);
    EXPECT_EQ(Ioctl(handle, IOCTL_WRITE_PORT, {1, 2, 3}, 0).status, ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(PortAccesses(), 0u);
}

TEST_F(PortsTest, InputRunCyclesThroughThePortsWithTheirMasks)
{
    SHARED_BLOCK* shared = SharedOf(handle);
    const uint8_t masks[4] = {0xFF, 0x0F, 0x00, 0x80};
    for (int p = 0; p < 4; ++p)
        shared->DiInversePorts[p] = masks[p];
    auto result = ReadDi(2, 6, 6);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.bytes, 6u);
    const uint8_t ports[4] = {0x11, 0x22, 0x33, 0x44};
    const int order[6] = {2, 3, 0, 1, 2, 3};
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ(result.output[j], ports[order[j]] ^ masks[order[j]]) << "byte " << j;
    EXPECT_EQ(PortAccesses(), 6u);
}

TEST_F(PortsTest, AMaskChangedThroughTheMappingTakesEffectAtTheNextByte)
{
    SHARED_BLOCK* shared = SharedOf(handle);
    // Once port 3 has been read, port 0's mask changes; port 0 comes again at
    // byte 4 of the run.
    machine->board().SetReadObserver([shared](uint32_t offset, unsigned) {
        if (offset == 3)
            shared->DiInversePorts[0] = 0xFF;
    });
    auto result = ReadDi(0, 8, 8);
    machine->board().SetReadObserver(nullptr);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.output[0], 0x11);
    EXPECT_EQ(result.output[4], 0x11 ^ 0xFF);
}

TEST_F(PortsTest, InputRunRefusesWhatWouldLeaveThePortsOrTheOutput)
{
    struct Case {
        uint32_t start, count, output;
        int32_t status;
        uint32_t bytes;
    };
    const Case cases[] = {
        {0, 0, 1, 0, 0},
        {3, 4, 4, 0, 4},
        {4, 1, 4, ERR_OUT_OF_RANGE, 0},
        {0xFFFFFFFF, 1, 4, ERR_OUT_OF_RANGE, 0},
        {0, 5, 4, ERR_OUT_OF_RANGE, 0},
        {0, 0xFFFFFFFF, 4, ERR_OUT_OF_RANGE, 0},
        {0, 1, 0, kBufferTooSmall, 0},
    };
    for (const Case& c : cases) {
        machine->board().ClearPortLog();
        auto result = ReadDi(c.start, c.count, c.output);
        EXPECT_EQ(result.status, c.status) << c.start << "/" << c.count << "/" << c.output;
        EXPECT_EQ(result.bytes, c.bytes);
        EXPECT_EQ(PortAccesses(), c.status == 0 ? c.count : 0u);
    }
    EXPECT_EQ(Ioctl(handle, IOCTL_READ_DI_PORTS, Bytes({0}), 4).status, kBufferTooSmall);
}

TEST_F(PortsTest, AHostileMappingCannotMoveTheRange)
{
    SHARED_BLOCK* shared = SharedOf(handle);
    shared->BaseAddress = 0;
    shared->PortLength = 0xFFFFFFFF;
    EXPECT_EQ(ReadPort(0x80, 1).status, ERR_OUT_OF_RANGE);
    EXPECT_EQ(WritePort(Base() + 32, {1}).status, ERR_OUT_OF_RANGE);
    EXPECT_EQ(ReadPort(Base() + 31, 1).status, 0);
    EXPECT_EQ(ReadDi(0, 4, 4).output, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));

    // Opening and closing the privileged handle reaches the board's registers,
    // not the ports the block now names; the verifier watches every access.
    um::HANDLE privileged = OpenPrivileged();
    machine->board().ClearPortLog();
    EXPECT_EQ(um::CloseHandle(privileged), 0);
    EXPECT_EQ(machine->board().PortLog().size(), 2u);
}

}  // namespace
