// The interface an I/O port range is answered through: the simulated bus hands
// every access that falls inside a device's assigned range to that device.
#pragma once

#include <cstdint>

namespace sim {

// Something that answers I/O port accesses inside its assigned range.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    // offset is relative to the start of the device's range; width is 1, 2 or 4.
    virtual uint32_t PortRead(uint32_t offset, unsigned width) = 0;
    virtual void PortWrite(uint32_t offset, unsigned width, uint32_t value) = 0;
};

}  // namespace sim
