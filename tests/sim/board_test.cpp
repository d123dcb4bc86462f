#include "board/mdx4208_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {
namespace {

using namespace mdx4208;
using Board = Mdx4208Board;

void Arm(Board& board, uint8_t channels, uint8_t fallingEdges = 0) {
    board.PortWrite(kTriggerEdgeReg, 1, fallingEdges);
    board.PortWrite(kIntEnableReg, 1, channels);
}

uint16_t Config16(const Board& board, uint32_t offset) {
    uint8_t b[2] = {};
    EXPECT_EQ(board.ReadConfig(offset, b, 2), 2u);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

TEST(Mdx4208BoardInputs, PortsReadTheirBytesOfTheInputWord) {
    Board board;
    board.SetInputs(0x44332211);
    for (unsigned k = 0; k < kInputPortCount; ++k) {
        EXPECT_EQ(board.PortRead(kInputPort0 + k, 1), 0x11u * (k + 1)) << "port " << k;
    }
    EXPECT_EQ(board.PortRead(kInputPort0, 2), 0x2211u);
    EXPECT_EQ(board.PortRead(kInputPort0 + 1, 2), 0x3322u);
    EXPECT_EQ(board.PortRead(kInputPort0 + 2, 2), 0x4433u);
    EXPECT_EQ(board.PortRead(kInputPort0, 4), 0x44332211u);

    board.SetInputPort(2, 0xAB);
    EXPECT_EQ(board.Inputs(), 0x44AB2211u);
    EXPECT_EQ(board.PortRead(kInputPort0 + 2, 1), 0xABu);
    EXPECT_THROW(board.SetInputPort(kInputPortCount, 0), std::out_of_range);
}

TEST(Mdx4208BoardInputs, BoardIdRegisterCarriesSwitchAndUpperNibble) {
    Board plain(5);
    EXPECT_EQ(plain.PortRead(kBoardIdReg, 1), 0x05u);

    Board noisy(3, kDefaultDeviceId, 0xF);
    EXPECT_EQ(noisy.PortRead(kBoardIdReg, 1), 0xF3u);
    noisy.SetBoardIdSwitch(0x1C);  // only four switch positions exist
    EXPECT_EQ(noisy.PortRead(kBoardIdReg, 1), 0xFCu);
    // A 4-byte read at the board ID sees the reserved bytes after it as zero.
    EXPECT_EQ(noisy.PortRead(kBoardIdReg, 4), 0xFCu);
}

TEST(Mdx4208BoardRegisters, ControlRegistersKeepTheirDefinedBits) {
    Board board;
    board.PortWrite(kIntEnableReg, 1, 0xFF);
    EXPECT_EQ(board.PortRead(kIntEnableReg, 1), 0x0Fu);
    board.PortWrite(kTriggerEdgeReg, 1, 0xA5);
    EXPECT_EQ(board.PortRead(kTriggerEdgeReg, 1), 0xA5u);

    // A 4-byte write at the enable register touches only bytes 8..11.
    board.PortWrite(kIntEnableReg, 4, 0xFFFFFF03);
    EXPECT_EQ(board.PortRead(kIntEnableReg, 4), 0x03u);
    EXPECT_EQ(board.Register(kTriggerEdgeReg), 0xA5u);
    EXPECT_TRUE(board.MisuseLog().empty());
}

struct EdgeCase {
    uint8_t edgeBit;
    bool armed;
    bool from;
    bool latches;
};

TEST(Mdx4208BoardInterrupts, OnlyTheSelectedEdgeOnAnArmedChannelLatches) {
    const EdgeCase cases[] = {
        {kEdgeRising, true, false, true},   {kEdgeRising, true, true, false},
        {kEdgeFalling, true, true, true},   {kEdgeFalling, true, false, false},
        {kEdgeRising, false, false, false}, {kEdgeFalling, false, true, false},
    };
    for (const EdgeCase& c : cases) {
        for (unsigned ch = 0; ch < kChannelCount; ++ch) {
            SCOPED_TRACE(testing::Message() << "edge bit " << int{c.edgeBit} << " armed " << c.armed << " from "
                                            << c.from << " channel " << ch);
            Board board;
            board.SetPin(ch, c.from);
            const uint8_t bit = ChannelBit(ch);
            Arm(board, c.armed ? bit : 0, c.edgeBit ? bit : 0);
            board.SetPin(ch, !c.from);

            EXPECT_EQ(board.PortRead(kIntStatusReg, 1), c.latches ? bit : 0u);
            EXPECT_EQ(board.EdgesSeen(ch), c.latches ? 1u : 0u);
            EXPECT_EQ(board.LatchCount(ch), c.latches ? 1u : 0u);
            EXPECT_EQ(board.InterruptLine(), c.latches);

            // An edge seen while disarmed is not remembered for later.
            board.PortWrite(kIntEnableReg, 1, bit);
            EXPECT_EQ(board.PortRead(kIntStatusReg, 1), c.latches ? bit : 0u);
        }
    }
}

TEST(Mdx4208BoardInterrupts, StatusIsWriteOneToClearAndCountsRelatches) {
    Board board;
    Arm(board, kChannelMask);
    for (unsigned ch = 0; ch < kChannelCount; ++ch) board.Pulse(ch);
    board.Pulse(1);  // already latched: seen, but no new latch
    ASSERT_EQ(board.PortRead(kIntStatusReg, 1), 0x0Fu);
    EXPECT_EQ(board.EdgesSeen(1), 2u);
    EXPECT_EQ(board.LatchCount(1), 1u);

    board.PortWrite(kIntStatusReg, 1, 0x05);
    EXPECT_EQ(board.PortRead(kIntStatusReg, 1), 0x0Au);
    board.PortWrite(kIntStatusReg, 1, 0xF0);  // no defined bits: nothing cleared
    board.PortWrite(kIntStatusReg, 1, 0x00);
    EXPECT_EQ(board.PortRead(kIntStatusReg, 1), 0x0Au);

    board.PortWrite(kIntStatusReg, 4, 0x00000002);
    EXPECT_EQ(board.PortRead(kIntStatusReg, 1), 0x08u);

    board.Pulse(1);
    EXPECT_EQ(board.LatchCount(1), 2u);
    EXPECT_EQ(board.EdgesSeen(1), 3u);
}

struct PulseCase {
    uint8_t edgeBit;
    bool startLevel;
};

TEST(Mdx4208BoardInterrupts, PulseGivesOneSelectedEdgeFromEitherLevel) {
    const PulseCase cases[] = {
        {kEdgeRising, false}, {kEdgeRising, true}, {kEdgeFalling, false}, {kEdgeFalling, true}};
    for (const PulseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "edge bit " << int{c.edgeBit} << " start " << c.startLevel);
        Board board;
        board.SetPin(2, c.startLevel);
        Arm(board, ChannelBit(2), c.edgeBit ? ChannelBit(2) : 0);
        board.Pulse(2);
        EXPECT_EQ(board.EdgesSeen(2), 1u);
        EXPECT_EQ(board.LatchCount(2), 1u);
        EXPECT_EQ(board.PinLevel(2), c.edgeBit == kEdgeFalling);  // back at the rest level
    }
    Board board;
    EXPECT_THROW(board.Pulse(kChannelCount), std::out_of_range);
}

TEST(Mdx4208BoardLine, FollowsStatusAndEnableAndReportsOnlyChanges) {
    Board board;
    std::vector<bool> seen;
    board.SetLineListener([&](bool asserted) { seen.push_back(asserted); });

    Arm(board, ChannelBit(1));
    board.Pulse(1);
    EXPECT_TRUE(board.InterruptLine());
    board.Pulse(1);                            // still latched: no change
    board.PortWrite(kIntEnableReg, 1, 0x02);   // same enable: no change

    board.PortWrite(kIntEnableReg, 1, 0x00);
    EXPECT_FALSE(board.InterruptLine());
    EXPECT_EQ(board.Register(kIntStatusReg), 0x02u);  // disarming leaves the latch
    board.PortWrite(kIntEnableReg, 1, 0x0D);          // others armed, channel 1 not
    EXPECT_FALSE(board.InterruptLine());
    board.PortWrite(kIntEnableReg, 1, 0x02);
    EXPECT_TRUE(board.InterruptLine());

    board.PortWrite(kIntStatusReg, 1, 0x02);
    EXPECT_FALSE(board.InterruptLine());
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));
}

TEST(Mdx4208BoardLine, ListenerMayServiceTheBoardWithoutNesting) {
    Board board;
    std::vector<bool> seen;
    int depth = 0;
    int maxDepth = 0;
    board.SetLineListener([&](bool asserted) {
        maxDepth = std::max(maxDepth, ++depth);
        seen.push_back(asserted);
        if (asserted) {
            // What an interrupt service routine does: read and acknowledge.
            const uint32_t status = board.PortRead(kIntStatusReg, 1);
            EXPECT_EQ(status, ChannelBit(3));
            board.PortWrite(kIntStatusReg, 1, status);
            EXPECT_FALSE(board.InterruptLine());
        }
        --depth;
    });
    Arm(board, ChannelBit(3));
    board.Pulse(3);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_FALSE(board.InterruptLine());
}

TEST(Mdx4208BoardLine, ConcurrentChangesLeaveTheLastDeliveryEqualToTheLine) {
    Board board;
    std::mutex m;
    std::vector<bool> seen;
    board.SetLineListener([&](bool asserted) {
        std::lock_guard lock(m);
        seen.push_back(asserted);
    });
    Arm(board, kChannelMask);

    std::vector<std::thread> threads;
    for (unsigned ch = 0; ch < kChannelCount; ++ch) {
        threads.emplace_back([&board, ch] {
            for (int i = 0; i < 2000; ++i) {
                board.Pulse(ch);
                board.PortWrite(kIntStatusReg, 1, ChannelBit(ch));
            }
            if (ch % 2 == 0) board.Pulse(ch);  // end with some channels latched
        });
    }
    for (auto& t : threads) t.join();

    std::lock_guard lock(m);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(board.InterruptLine());
    EXPECT_EQ(seen.back(), board.InterruptLine());
    for (size_t i = 1; i < seen.size(); ++i) {
        ASSERT_NE(seen[i], seen[i - 1]) << "repeated delivery at " << i;
    }
}

struct MisuseCase {
    bool write;
    uint32_t offset;
    unsigned width;
    const char* reason;
};

TEST(Mdx4208BoardMisuse, RecordedWithoutEffect) {
    const MisuseCase cases[] = {
        {true, kInputPort0, 1, Board::kMisuseReadOnly},
        {true, kInputPort0 + 2, 4, Board::kMisuseReadOnly},  // spans ports 2, 3 and the board ID
        {true, kBoardIdReg, 1, Board::kMisuseReadOnly},
        {false, kPortRangeLength, 1, Board::kMisuseOutOfRange},
        {false, kPortRangeLength - 2, 4, Board::kMisuseOutOfRange},
        {false, 0xFFFFFFFE, 4, Board::kMisuseOutOfRange},  // end of access wraps around
        {true, kPortRangeLength + kIntStatusReg, 1, Board::kMisuseOutOfRange},
        {false, kInputPort0, 3, Board::kMisuseBadWidth},
        {true, kIntEnableReg, 0, Board::kMisuseBadWidth},
    };
    for (const MisuseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.write ? "write " : "read ") << c.offset << " width " << c.width);
        Board board(7);
        board.SetInputs(0x11223344);
        Arm(board, ChannelBit(0));
        board.Pulse(0);
        if (c.write) {
            board.PortWrite(c.offset, c.width, 0xFFFFFFFF);
        } else {
            const uint32_t value = board.PortRead(c.offset, c.width);
            EXPECT_EQ(value, c.width == 1 ? 0xFFu : 0xFFFFFFFFu);
        }
        const auto misuse = board.MisuseLog();
        ASSERT_EQ(misuse.size(), 1u);
        EXPECT_EQ(misuse[0].offset, c.offset);
        EXPECT_EQ(misuse[0].width, c.width);
        EXPECT_EQ(misuse[0].write, c.write);
        EXPECT_EQ(misuse[0].reason, c.reason);

        EXPECT_EQ(board.Inputs(), 0x11223344u);
        EXPECT_EQ(board.Register(kBoardIdReg), 0x07u);
        EXPECT_EQ(board.Register(kIntEnableReg), ChannelBit(0));
        EXPECT_EQ(board.Register(kIntStatusReg), ChannelBit(0));
        EXPECT_EQ(board.PortLog().back().offset, c.offset);  // still on the bus trace
    }
}

TEST(Mdx4208BoardConfig, HeaderCarriesIdsAndClipsAtTheEnd) {
    Board board;
    EXPECT_EQ(Config16(board, kCfgVendorId), kVendorId);
    EXPECT_EQ(Config16(board, kCfgDeviceId), 0x4208u);
    Board foreign(0, 0x1234);
    EXPECT_EQ(Config16(foreign, kCfgVendorId), kVendorId);
    EXPECT_EQ(Config16(foreign, kCfgDeviceId), 0x1234u);

    uint8_t header[kCfgBar0 + 4] = {};
    ASSERT_EQ(board.ReadConfig(0, header, sizeof header), sizeof header);
    EXPECT_EQ(header[kCfgHeaderType], kHeaderTypeGeneral);
    EXPECT_EQ(header[kCfgBar0] & kBarIoSpace, kBarIoSpace);

    uint8_t tail[16];
    std::memset(tail, 0xCC, sizeof tail);
    EXPECT_EQ(board.ReadConfig(kConfigSpaceSize - 6, tail, sizeof tail), 6u);
    for (size_t i = 6; i < sizeof tail; ++i) EXPECT_EQ(tail[i], 0xCC) << i;
    EXPECT_EQ(board.ReadConfig(kConfigSpaceSize, tail, 1), 0u);
}

TEST(Mdx4208BoardConfig, WritesSpareTheIdsAndSizeBar0) {
    Board board;
    const uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(board.WriteConfig(kCfgVendorId, ones, 4), 4u);
    EXPECT_EQ(Config16(board, kCfgVendorId), kVendorId);
    EXPECT_EQ(Config16(board, kCfgDeviceId), kDefaultDeviceId);

    board.WriteConfig(kCfgBar0, ones, 4);
    uint8_t bar[4] = {};
    board.ReadConfig(kCfgBar0, bar, 4);
    const uint32_t probed = bar[0] | (bar[1] << 8) | (bar[2] << 16) | (uint32_t{bar[3]} << 24);
    EXPECT_EQ(~(probed & ~kBarIoSpace) + 1, kPortRangeLength);

    const uint8_t irq = 11;
    board.WriteConfig(kCfgInterruptLine, &irq, 1);
    uint8_t readBack = 0;
    board.ReadConfig(kCfgInterruptLine, &readBack, 1);
    EXPECT_EQ(readBack, irq);
    EXPECT_EQ(board.WriteConfig(kConfigSpaceSize - 1, ones, 4), 1u);
}

TEST(Mdx4208BoardLog, RecordsAccessesAsMade) {
    Board board(9);
    board.SetInputs(0xCAFEF00D);
    board.PortRead(kInputPort0, 4);
    board.PortWrite(kTriggerEdgeReg, 2, 0xABCD1234);  // carried value cut to two bytes
    board.PortRead(kBoardIdReg, 1);
    board.PortWrite(kIntStatusReg, 1, 0x01);
    (void)board.Register(kIntStatusReg);  // peeking is not an access

    const auto log = board.PortLog();
    ASSERT_EQ(log.size(), 4u);
    const Board::PortAccess expected[] = {
        {false, kInputPort0, 4, 0xCAFEF00D},
        {true, kTriggerEdgeReg, 2, 0x1234},
        {false, kBoardIdReg, 1, 0x09},
        {true, kIntStatusReg, 1, 0x01},
    };
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].write, expected[i].write);
        EXPECT_EQ(log[i].offset, expected[i].offset);
        EXPECT_EQ(log[i].width, expected[i].width);
        EXPECT_EQ(log[i].value, expected[i].value);
    }

    EXPECT_EQ(board.CountAccesses(false, kInputPort0 + 3), 1u);  // inside the 4-byte read
    EXPECT_EQ(board.CountAccesses(true, kTriggerEdgeReg + 1), 1u);
    EXPECT_EQ(board.CountAccesses(true, kTriggerEdgeReg + 2), 0u);
    EXPECT_EQ(board.CountAccesses(false, kIntStatusReg), 0u);

    board.ClearPortLog();
    EXPECT_TRUE(board.PortLog().empty());
}

}  // namespace
}  // namespace sim
