// Model of the MDX-4208 digital-input board as its driver reaches it: a 32-byte
// I/O port range, four interrupt pins with selectable edges, a level-triggered
// interrupt line and a PCI configuration header. Tests drive the inputs and
// pins from outside and read back what the driver did through the port log and
// the misuse log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board/port_device.h"

namespace sim {
namespace mdx4208 {

// ---- I/O port range ---------------------------------------------------------
inline constexpr uint32_t kPortRangeLength = 32;

inline constexpr unsigned kInputPortCount = 4;  // eight inputs each
inline constexpr unsigned kChannelCount = 4;    // interrupt channels / pins

// Byte registers, offsets from the start of the range.
inline constexpr uint32_t kInputPort0 = 0;      // ports 0..3 at kInputPort0 + k, RO
inline constexpr uint32_t kBoardIdReg = 4;      // RO
inline constexpr uint32_t kIntEnableReg = 8;    // RW, bit i arms channel i
inline constexpr uint32_t kTriggerEdgeReg = 12; // RW, bit i selects channel i's edge
inline constexpr uint32_t kIntStatusReg = 16;   // bit i latched; write one to clear

// Channel bits as used by the enable, edge and status registers.
inline constexpr uint8_t kChannelMask = 0x0F;
constexpr uint8_t ChannelBit(unsigned channel) { return static_cast<uint8_t>(1u << channel); }

// Trigger-edge bit values: clear selects the rising edge, set the falling edge.
inline constexpr uint8_t kEdgeRising = 0;
inline constexpr uint8_t kEdgeFalling = 1;

// Board-ID register: the switch in the low nibble, the upper nibble undefined.
inline constexpr uint8_t kBoardIdSwitchMask = 0x0F;
inline constexpr unsigned kBoardIdUpperShift = 4;

static_assert(kInputPort0 + kInputPortCount <= kBoardIdReg, "input ports overlap the board-ID register");
static_assert(kBoardIdReg < kIntEnableReg && kIntEnableReg < kTriggerEdgeReg &&
                  kTriggerEdgeReg < kIntStatusReg && kIntStatusReg < kPortRangeLength,
              "registers out of order or outside the range");
static_assert(kChannelMask == (1u << kChannelCount) - 1, "channel mask must cover every channel");
static_assert(kBoardIdSwitchMask == (1u << kBoardIdUpperShift) - 1, "switch nibble and upper nibble must tile the byte");
static_assert((kPortRangeLength & (kPortRangeLength - 1)) == 0, "an I/O BAR decodes a power-of-two range");

// ---- PCI configuration space ------------------------------------------------
inline constexpr uint32_t kConfigSpaceSize = 256;
inline constexpr uint16_t kVendorId = 0x1A2B;
inline constexpr uint16_t kDefaultDeviceId = 0x4208;

inline constexpr uint32_t kCfgVendorId = 0x00;
inline constexpr uint32_t kCfgDeviceId = 0x02;
inline constexpr uint32_t kCfgCommand = 0x04;
inline constexpr uint32_t kCfgRevisionId = 0x08;
inline constexpr uint32_t kCfgProgIf = 0x09;
inline constexpr uint32_t kCfgSubclass = 0x0A;
inline constexpr uint32_t kCfgBaseClass = 0x0B;
inline constexpr uint32_t kCfgHeaderType = 0x0E;
inline constexpr uint32_t kCfgBar0 = 0x10;
inline constexpr uint32_t kCfgSubsystemVendorId = 0x2C;
inline constexpr uint32_t kCfgSubsystemId = 0x2E;
inline constexpr uint32_t kCfgInterruptLine = 0x3C;
inline constexpr uint32_t kCfgInterruptPin = 0x3D;

inline constexpr uint16_t kCommandIoSpace = 0x0001;    // decoding of the I/O BAR enabled
inline constexpr uint8_t kRevisionId = 0x01;
inline constexpr uint8_t kClassSignalProcessing = 0x11; // data acquisition / signal processing
inline constexpr uint8_t kSubclassDpio = 0x00;          // DPIO module
inline constexpr uint8_t kHeaderTypeGeneral = 0x00;
inline constexpr uint32_t kBarIoSpace = 0x1;            // BAR bit 0: I/O space
inline constexpr uint32_t kBar0FixedBits = kPortRangeLength - 1;  // hardwired, size probe
inline constexpr uint8_t kInterruptPinA = 0x01;

static_assert(kCfgInterruptPin < kConfigSpaceSize, "header outside configuration space");

}  // namespace mdx4208

class Mdx4208Board : public PortDevice {
public:
    static constexpr uint32_t kPortRangeLength = mdx4208::kPortRangeLength;
    static constexpr uint32_t kConfigSpaceSize = mdx4208::kConfigSpaceSize;
    static constexpr uint16_t kVendorId = mdx4208::kVendorId;
    static constexpr uint16_t kDefaultDeviceId = mdx4208::kDefaultDeviceId;

    // Reasons given in misuse records.
    static constexpr const char* kMisuseOutOfRange = "access outside the port range";
    static constexpr const char* kMisuseBadWidth = "access width is not 1, 2 or 4";
    static constexpr const char* kMisuseReadOnly = "write to a read-only register";

    // One port access as the driver made it. value is what a read returned or
    // what a write carried (cut to the access width when the width is valid).
    struct PortAccess {
        bool write;
        uint32_t offset;
        unsigned width;
        uint32_t value;
    };

    // An access the board cannot honour. The access is also in the port log.
    struct Misuse {
        uint32_t offset;
        unsigned width;
        bool write;
        std::string reason;
    };

    using LineListener = std::function<void(bool asserted)>;

    // boardIdSwitch and boardIdUpperNibble are 4-bit values; higher bits are dropped.
    explicit Mdx4208Board(uint8_t boardIdSwitch = 0, uint16_t pciDeviceId = kDefaultDeviceId,
                          uint8_t boardIdUpperNibble = 0);

    Mdx4208Board(const Mdx4208Board&) = delete;
    Mdx4208Board& operator=(const Mdx4208Board&) = delete;

    // ---- Register access (logged) ------------------------------------------
    // Multi-byte accesses act on consecutive byte registers, little-endian.
    // Misused reads return all ones, as an unclaimed bus cycle would.
    uint32_t PortRead(uint32_t offset, unsigned width) override;
    void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;

    // The byte a read at offset would return, without logging; 0 outside the range.
    uint8_t Register(uint32_t offset) const;

    // ---- Digital inputs ----------------------------------------------------
    void SetInputs(uint32_t lines);                 // port k is bits 8k..8k+7
    void SetInputPort(unsigned port, uint8_t value); // throws std::out_of_range for port >= 4
    uint32_t Inputs() const;

    void SetBoardIdSwitch(uint8_t value);

    // ---- Interrupt pins (channel >= 4 throws std::out_of_range) -------------
    // Pins start low. A change that is the channel's selected edge latches the
    // status bit if the channel is armed; edges while disarmed are not remembered.
    void SetPin(unsigned channel, bool level);
    bool PinLevel(unsigned channel) const;
    // One full pulse producing exactly one selected edge, ending at the rest
    // level: low for a rising-edge channel, high for a falling-edge one.
    void Pulse(unsigned channel);
    uint64_t EdgesSeen(unsigned channel) const;   // selected edges while armed
    uint64_t LatchCount(unsigned channel) const;  // times the status bit went 0 -> 1

    // ---- Interrupt line ----------------------------------------------------
    // Asserted while (status & enable) is non-zero.
    bool InterruptLine() const;
    // Called with each change of the line, in order, outside the board's lock,
    // so it may call back into the board. Changes made from inside the listener
    // are delivered after it returns, never nested. Setting the listener does
    // not report the current level.
    void SetLineListener(LineListener listener);

    // Called after every port read, outside the board's lock, with the read's
    // offset; lets a test act between two reads of one request.
    using ReadObserver = std::function<void(uint32_t offset, unsigned width)>;
    void SetReadObserver(ReadObserver observer);

    // ---- PCI configuration space -------------------------------------------
    // Both clip at the end of the 256 bytes and return the number of bytes
    // transferred. Writes leave the identification bytes (IDs, revision, class,
    // header type, subsystem IDs, interrupt pin) and BAR0's fixed bits alone.
    uint32_t ReadConfig(uint32_t offset, void* buffer, uint32_t length) const;
    uint32_t WriteConfig(uint32_t offset, const void* buffer, uint32_t length);

    // ---- Logs --------------------------------------------------------------
    std::vector<PortAccess> PortLog() const;
    void ClearPortLog();
    // Logged accesses of the given direction whose bytes include offset.
    size_t CountAccesses(bool write, uint32_t offset) const;

    std::vector<Misuse> MisuseLog() const;
    void ClearMisuseLog();

private:
    uint32_t ReadLogged(uint32_t offset, unsigned width);
    uint8_t ReadByteLocked(uint32_t offset) const;
    void WriteByteLocked(uint32_t offset, uint8_t value);
    void DrivePinLocked(unsigned channel, bool level);
    bool LineLocked() const;
    void RecordMisuseLocked(uint32_t offset, unsigned width, bool write, const char* reason);
    void DeliverLineChanges();

    mutable std::mutex mutex_;

    uint32_t inputs_ = 0;
    uint8_t boardIdSwitch_;
    uint8_t boardIdUpper_;
    uint8_t enable_ = 0;
    uint8_t edges_ = 0;
    uint8_t status_ = 0;

    std::array<bool, mdx4208::kChannelCount> pins_{};
    std::array<uint64_t, mdx4208::kChannelCount> edgesSeen_{};
    std::array<uint64_t, mdx4208::kChannelCount> latchCount_{};

    std::array<uint8_t, mdx4208::kConfigSpaceSize> config_{};

    std::vector<PortAccess> portLog_;
    std::vector<Misuse> misuse_;

    LineListener listener_;
    std::mutex observerMutex_;
    ReadObserver readObserver_;
    bool deliveredLine_ = false;  // the last level handed to (or skipped for) the listener
    bool delivering_ = false;     // some thread is running the delivery loop
};

}  // namespace sim
