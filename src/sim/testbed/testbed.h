// A simulated machine with one MDX-4208 whose device is stood up with the
// driver's own callbacks and context types, ready for user processes to open.
// Every test and the demo stand their device up through this one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/mdx4208_board.h"
#include "kernel/kobject.h"
#include "platform/wdf.h"

struct _DEVICE_EXTENSION;

namespace sim {

class Testbed {
public:
    struct Options {
        uint8_t boardIdSwitch = 0;
        uint16_t pciDeviceId = 0x4208;
        uint32_t portBase = 0xD000;
        uint32_t portLength = 32;
        uint32_t interruptVector = 11;
        // No interrupt or DPC thread runs; the test steps them itself.
        bool deterministic = false;
    };

    Testbed();
    explicit Testbed(const Options& options);
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    Mdx4208Board& board() { return *board_; }
    WDFDEVICE device() const { return device_; }
    _DEVICE_EXTENSION* extension() const;
    // The user-mode path of the board's device.
    const std::u16string& devicePath() const { return devicePath_; }
    const Options& options() const { return options_; }

    // A new user process; it exits (closing its handles) when released.
    ProcessPtr NewProcess(const std::string& name);

private:
    Options options_;
    size_t kernelObjectsAtStart_;
    std::unique_ptr<Mdx4208Board> board_;
    struct _DRIVER_OBJECT* driverObject_ = nullptr;
    WDFDRIVER driver_ = nullptr;
    WDFDEVICE device_ = nullptr;
    std::u16string devicePath_;
    uint32_t nextProcessId_ = 100;
};

}  // namespace sim
