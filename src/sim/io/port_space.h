// The machine's I/O port space: which device answers which ports, and which
// range each framework device was assigned, for the verifier's port rule.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "board/port_device.h"

namespace sim {
namespace wdf {
class Device;
}

// Port reads made by the current thread, for the verifier's count of the
// ports a DPC run reads.
uint64_t PortReadsOnThisThread();

class PortSpace {
public:
    static PortSpace& Instance();

    void Attach(uint32_t base, uint32_t length, PortDevice* device);
    void Detach(PortDevice* device);
    // A port range the PnP manager assigned to a driver's device; a device
    // may be given several.
    void Assign(const wdf::Device* device, uint32_t base, uint32_t length);
    void Unassign(const wdf::Device* device);

    uint32_t Read(uint32_t port, unsigned width, const char* routine);
    void Write(uint32_t port, unsigned width, uint32_t value, const char* routine);

private:
    struct Window {
        uint32_t length;
        PortDevice* device;
    };
    struct Range {
        uint32_t base;
        uint32_t length;
    };
    bool CheckAssigned(uint32_t port, unsigned width, const char* routine);

    std::mutex mutex_;
    std::map<uint32_t, Window> windows_;
    std::multimap<const wdf::Device*, Range> assigned_;
};

}  // namespace sim
