// A simulated machine with one MDX-4208 on the PCI bus, the driver loaded and
// the board's device started by the PnP manager, ready for user processes.
// Every test and the demo stand their device up through this one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "board/mdx4208_board.h"
#include "kernel/kobject.h"
#include "platform/wdf.h"
#include "pnp/machine.h"

struct _DEVICE_EXTENSION;

namespace sim {

class Testbed {
public:
    struct Options {
        uint8_t boardIdSwitch = 0;
        uint16_t pciDeviceId = 0x4208;
        PciLocation location{2, 14, 0};
        uint32_t interruptVector = 11;
        // No interrupt, DPC or work-item thread runs; the test steps them.
        bool deterministic = false;
    };

    Testbed();
    explicit Testbed(const Options& options);
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    Machine& machine() { return *machine_; }
    Mdx4208Board& board() { return machine_->Board(0); }
    WDFDEVICE device() const { return machine_->Device(0); }
    _DEVICE_EXTENSION* extension() const;
    // The user-mode path of the board's device interface.
    const std::u16string& devicePath() const { return devicePath_; }
    const Options& options() const { return options_; }
    uint32_t portBase() const { return machine_->PortBase(0); }
    uint32_t portLength() const { return Mdx4208Board::kPortRangeLength; }

    ProcessPtr NewProcess(const std::string& name) { return machine_->NewProcess(name); }

private:
    Options options_;
    std::unique_ptr<Machine> machine_;
    std::u16string devicePath_;
};

}  // namespace sim
