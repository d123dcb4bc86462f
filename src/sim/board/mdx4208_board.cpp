#include "board/mdx4208_board.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

using namespace mdx4208;

namespace {

bool ValidWidth(unsigned width) { return width == 1 || width == 2 || width == 4; }

uint32_t WidthMask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

bool InRange(uint32_t offset, unsigned width) {
    return offset < kPortRangeLength && width <= kPortRangeLength - offset;
}

bool IsInputPort(uint32_t offset) {
    return offset >= kInputPort0 && offset < kInputPort0 + kInputPortCount;
}

bool IsReadOnlyRegister(uint32_t offset) { return IsInputPort(offset) || offset == kBoardIdReg; }

void CheckChannel(unsigned channel) {
    if (channel >= kChannelCount) throw std::out_of_range("MDX-4208 has interrupt channels 0..3 only");
}

// Configuration bytes the board answers with fixed values.
bool IsConfigByteReadOnly(uint32_t offset) {
    auto within = [offset](uint32_t start, uint32_t length) { return offset >= start && offset < start + length; };
    return within(kCfgVendorId, 2) || within(kCfgDeviceId, 2) || within(kCfgRevisionId, 4) ||
           offset == kCfgHeaderType || within(kCfgSubsystemVendorId, 2) || within(kCfgSubsystemId, 2) ||
           offset == kCfgInterruptPin;
}

void Put16(std::array<uint8_t, kConfigSpaceSize>& config, uint32_t offset, uint16_t value) {
    config[offset] = static_cast<uint8_t>(value);
    config[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

Mdx4208Board::Mdx4208Board(uint8_t boardIdSwitch, uint16_t pciDeviceId, uint8_t boardIdUpperNibble)
    : boardIdSwitch_(boardIdSwitch & kBoardIdSwitchMask),
      boardIdUpper_(boardIdUpperNibble & kBoardIdSwitchMask) {
    Put16(config_, kCfgVendorId, kVendorId);
    Put16(config_, kCfgDeviceId, pciDeviceId);
    Put16(config_, kCfgCommand, kCommandIoSpace);
    config_[kCfgRevisionId] = kRevisionId;
    config_[kCfgProgIf] = 0;
    config_[kCfgSubclass] = kSubclassDpio;
    config_[kCfgBaseClass] = kClassSignalProcessing;
    config_[kCfgHeaderType] = kHeaderTypeGeneral;
    config_[kCfgBar0] = static_cast<uint8_t>(kBarIoSpace);
    Put16(config_, kCfgSubsystemVendorId, kVendorId);
    Put16(config_, kCfgSubsystemId, pciDeviceId);
    config_[kCfgInterruptPin] = kInterruptPinA;
}

// ---- Register access ---------------------------------------------------------

uint8_t Mdx4208Board::ReadByteLocked(uint32_t offset) const {
    if (IsInputPort(offset)) return static_cast<uint8_t>(inputs_ >> (8 * (offset - kInputPort0)));
    switch (offset) {
    case kBoardIdReg:
        return static_cast<uint8_t>((boardIdUpper_ << kBoardIdUpperShift) | boardIdSwitch_);
    case kIntEnableReg:
        return enable_;
    case kTriggerEdgeReg:
        return edges_;
    case kIntStatusReg:
        return status_;
    default:
        return 0;
    }
}

void Mdx4208Board::WriteByteLocked(uint32_t offset, uint8_t value) {
    switch (offset) {
    case kIntEnableReg:
        enable_ = value & kChannelMask;
        break;
    case kTriggerEdgeReg:
        // All eight bits are kept: the driver writes back the upper ones as read.
        edges_ = value;
        break;
    case kIntStatusReg:
        status_ &= static_cast<uint8_t>(~(value & kChannelMask));
        break;
    default:
        break;  // reserved bytes ignore writes
    }
}

void Mdx4208Board::RecordMisuseLocked(uint32_t offset, unsigned width, bool write, const char* reason) {
    misuse_.push_back(Misuse{offset, width, write, reason});
}

uint32_t Mdx4208Board::PortRead(uint32_t offset, unsigned width) {
    uint32_t value = ReadLogged(offset, width);
    ReadObserver observer;
    {
        std::lock_guard lock(observerMutex_);
        observer = readObserver_;
    }
    if (observer)
        observer(offset, width);
    return value;
}

void Mdx4208Board::SetReadObserver(ReadObserver observer) {
    std::lock_guard lock(observerMutex_);
    readObserver_ = std::move(observer);
}

uint32_t Mdx4208Board::ReadLogged(uint32_t offset, unsigned width) {
    std::lock_guard lock(mutex_);
    uint32_t value = 0;
    if (!ValidWidth(width)) {
        RecordMisuseLocked(offset, width, false, kMisuseBadWidth);
        value = 0xFFFFFFFFu;
    } else if (!InRange(offset, width)) {
        RecordMisuseLocked(offset, width, false, kMisuseOutOfRange);
        value = WidthMask(width);
    } else {
        for (unsigned k = 0; k < width; ++k) value |= uint32_t{ReadByteLocked(offset + k)} << (8 * k);
    }
    portLog_.push_back(PortAccess{false, offset, width, value});
    return value;
}

void Mdx4208Board::PortWrite(uint32_t offset, unsigned width, uint32_t value) {
    {
        std::lock_guard lock(mutex_);
        const bool validWidth = ValidWidth(width);
        if (validWidth) value &= WidthMask(width);
        portLog_.push_back(PortAccess{true, offset, width, value});
        if (!validWidth) {
            RecordMisuseLocked(offset, width, true, kMisuseBadWidth);
        } else if (!InRange(offset, width)) {
            RecordMisuseLocked(offset, width, true, kMisuseOutOfRange);
        } else {
            bool hitReadOnly = false;
            for (unsigned k = 0; k < width; ++k) {
                if (IsReadOnlyRegister(offset + k))
                    hitReadOnly = true;
                else
                    WriteByteLocked(offset + k, static_cast<uint8_t>(value >> (8 * k)));
            }
            if (hitReadOnly) RecordMisuseLocked(offset, width, true, kMisuseReadOnly);
        }
    }
    DeliverLineChanges();
}

uint8_t Mdx4208Board::Register(uint32_t offset) const {
    std::lock_guard lock(mutex_);
    return offset < kPortRangeLength ? ReadByteLocked(offset) : 0;
}

// ---- Inputs --------------------------------------------------------------------

void Mdx4208Board::SetInputs(uint32_t lines) {
    std::lock_guard lock(mutex_);
    inputs_ = lines;
}

void Mdx4208Board::SetInputPort(unsigned port, uint8_t value) {
    if (port >= kInputPortCount) throw std::out_of_range("MDX-4208 has input ports 0..3 only");
    std::lock_guard lock(mutex_);
    const unsigned shift = 8 * port;
    inputs_ = (inputs_ & ~(0xFFu << shift)) | (uint32_t{value} << shift);
}

uint32_t Mdx4208Board::Inputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

void Mdx4208Board::SetBoardIdSwitch(uint8_t value) {
    std::lock_guard lock(mutex_);
    boardIdSwitch_ = value & kBoardIdSwitchMask;
}

// ---- Interrupt pins ------------------------------------------------------------

void Mdx4208Board::DrivePinLocked(unsigned channel, bool level) {
    if (pins_[channel] == level) return;
    pins_[channel] = level;
    const uint8_t bit = ChannelBit(channel);
    const bool fallingSelected = (edges_ & bit) != 0;
    const bool falling = !level;
    if (falling != fallingSelected || (enable_ & bit) == 0) return;
    ++edgesSeen_[channel];
    if ((status_ & bit) == 0) {
        status_ |= bit;
        ++latchCount_[channel];
    }
}

void Mdx4208Board::SetPin(unsigned channel, bool level) {
    CheckChannel(channel);
    {
        std::lock_guard lock(mutex_);
        DrivePinLocked(channel, level);
    }
    DeliverLineChanges();
}

bool Mdx4208Board::PinLevel(unsigned channel) const {
    CheckChannel(channel);
    std::lock_guard lock(mutex_);
    return pins_[channel];
}

void Mdx4208Board::Pulse(unsigned channel) {
    CheckChannel(channel);
    {
        std::lock_guard lock(mutex_);
        // Go to the rest level first (the unselected edge, if the pin was away
        // from it), then out and back: the way out is the selected edge.
        const bool restLevel = (edges_ & ChannelBit(channel)) != 0;
        DrivePinLocked(channel, restLevel);
        DrivePinLocked(channel, !restLevel);
        DrivePinLocked(channel, restLevel);
    }
    DeliverLineChanges();
}

uint64_t Mdx4208Board::EdgesSeen(unsigned channel) const {
    CheckChannel(channel);
    std::lock_guard lock(mutex_);
    return edgesSeen_[channel];
}

uint64_t Mdx4208Board::LatchCount(unsigned channel) const {
    CheckChannel(channel);
    std::lock_guard lock(mutex_);
    return latchCount_[channel];
}

// ---- Interrupt line ------------------------------------------------------------

bool Mdx4208Board::LineLocked() const { return (status_ & enable_ & kChannelMask) != 0; }

bool Mdx4208Board::InterruptLine() const {
    std::lock_guard lock(mutex_);
    return LineLocked();
}

void Mdx4208Board::SetLineListener(LineListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

// Whoever finds no delivery running becomes the deliverer and keeps handing the
// current level to the listener until it stops changing. Everyone else returns
// at once: the running loop will see their change. So deliveries never overlap
// or nest, they alternate, and the last one equals the line; nobody blocks on
// a listener that may itself be waiting for the caller.
void Mdx4208Board::DeliverLineChanges() {
    std::unique_lock lock(mutex_);
    if (delivering_) return;
    delivering_ = true;
    while (LineLocked() != deliveredLine_) {
        deliveredLine_ = !deliveredLine_;
        const bool level = deliveredLine_;
        LineListener listener = listener_;
        lock.unlock();
        try {
            if (listener) listener(level);
        } catch (...) {
            lock.lock();
            delivering_ = false;
            throw;
        }
        lock.lock();
    }
    delivering_ = false;
}

// ---- PCI configuration space -----------------------------------------------------

uint32_t Mdx4208Board::ReadConfig(uint32_t offset, void* buffer, uint32_t length) const {
    if (offset >= kConfigSpaceSize || buffer == nullptr) return 0;
    const uint32_t count = std::min(length, kConfigSpaceSize - offset);
    std::lock_guard lock(mutex_);
    std::memcpy(buffer, config_.data() + offset, count);
    return count;
}

uint32_t Mdx4208Board::WriteConfig(uint32_t offset, const void* buffer, uint32_t length) {
    if (offset >= kConfigSpaceSize || buffer == nullptr) return 0;
    const uint32_t count = std::min(length, kConfigSpaceSize - offset);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsConfigByteReadOnly(offset + i)) config_[offset + i] = bytes[i];
    }
    // BAR0 decodes a 32-byte I/O range: its low bits stay fixed, so writing all
    // ones and reading back tells the size.
    config_[kCfgBar0] = static_cast<uint8_t>((config_[kCfgBar0] & ~kBar0FixedBits) | kBarIoSpace);
    return count;
}

// ---- Logs ----------------------------------------------------------------------

std::vector<Mdx4208Board::PortAccess> Mdx4208Board::PortLog() const {
    std::lock_guard lock(mutex_);
    return portLog_;
}

void Mdx4208Board::ClearPortLog() {
    std::lock_guard lock(mutex_);
    portLog_.clear();
}

size_t Mdx4208Board::CountAccesses(bool write, uint32_t offset) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(portLog_.begin(), portLog_.end(), [&](const PortAccess& a) {
        return a.write == write && offset >= a.offset && uint64_t{offset} < uint64_t{a.offset} + a.width;
    }));
}

std::vector<Mdx4208Board::Misuse> Mdx4208Board::MisuseLog() const {
    std::lock_guard lock(mutex_);
    return misuse_;
}

void Mdx4208Board::ClearMisuseLog() {
    std::lock_guard lock(mutex_);
    misuse_.clear();
}

}  // namespace sim
