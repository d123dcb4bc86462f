// Device objects of the PnP stacks: a PCI function's physical device object,
// owned by the bus driver, with the framework device's object attached on top.
// The bus driver answers configuration-space requests, either at once or later
// from another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/kobject.h"

namespace sim {

struct PciLocation {
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
};

// What the bus driver knows of one PCI function.
struct PciFunction {
    PciLocation location;
    // Reads configuration space; returns the bytes read.
    std::function<uint32_t(uint32_t offset, void* buffer, uint32_t length)> readConfig;
    // Answer configuration requests later, from another thread.
    bool completeLater = false;
    std::string locationText() const;
};

POBJECT_TYPE DeviceObjectType();

}  // namespace sim

struct _DEVICE_OBJECT : public sim::KObject {
    explicit _DEVICE_OBJECT(sim::PciFunction* function);
    sim::PciFunction* Function;        // set on the physical device object
    _DEVICE_OBJECT* AttachedDevice = nullptr;  // the next object up the stack
    _DEVICE_OBJECT* LowerDevice = nullptr;
};

namespace sim {

// Waits until the bus driver has completed every request it put off.
void DrainConfigRequests();

}  // namespace sim
