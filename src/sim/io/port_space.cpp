#include "io/port_space.h"

#include <cstdio>
#include <string>

#include "platform/nt_kernel.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"

namespace sim {

namespace {
thread_local uint64_t tPortReads = 0;
}

uint64_t PortReadsOnThisThread() { return tPortReads; }

PortSpace& PortSpace::Instance()
{
    static auto* instance = new PortSpace();
    return *instance;
}

void PortSpace::Attach(uint32_t base, uint32_t length, PortDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    windows_[base] = Window{length, device};
}

void PortSpace::Detach(PortDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = windows_.begin(); it != windows_.end();)
        it = it->second.device == device ? windows_.erase(it) : std::next(it);
}

void PortSpace::Assign(const wdf::Device* device, uint32_t base, uint32_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    assigned_.emplace(device, Range{base, length});
}

void PortSpace::Unassign(const wdf::Device* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    assigned_.erase(device);
}

bool PortSpace::CheckAssigned(uint32_t port, unsigned width, const char* routine)
{
    const wdf::Device* device = wdf::CurrentCallbackDevice();
    if (!device)
        return true;
    bool inside = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [first, last] = assigned_.equal_range(device);
        for (auto it = first; it != last && !inside; ++it) {
            uint64_t start = it->second.base;
            uint64_t end = start + it->second.length;
            inside = port >= start && uint64_t(port) + width <= end;
        }
    }
    if (!inside) {
        char text[64];
        std::snprintf(text, sizeof text, "port 0x%X, width %u", port, width);
        Verifier::Instance().Report(rule::kPortOutOfRange, routine, DescribeObject(device), text);
    }
    return inside;
}

uint32_t PortSpace::Read(uint32_t port, unsigned width, const char* routine)
{
    ++tPortReads;
    CheckAssigned(port, width, routine);
    PortDevice* device = nullptr;
    uint32_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = windows_.upper_bound(port);
        if (it != windows_.begin()) {
            --it;
            if (uint64_t(port) + width <= uint64_t(it->first) + it->second.length) {
                device = it->second.device;
                offset = port - it->first;
            }
        }
    }
    // Ports nobody answers float high.
    if (!device)
        return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    return device->PortRead(offset, width);
}

void PortSpace::Write(uint32_t port, unsigned width, uint32_t value, const char* routine)
{
    CheckAssigned(port, width, routine);
    PortDevice* device = nullptr;
    uint32_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = windows_.upper_bound(port);
        if (it != windows_.begin()) {
            --it;
            if (uint64_t(port) + width <= uint64_t(it->first) + it->second.length) {
                device = it->second.device;
                offset = port - it->first;
            }
        }
    }
    if (device)
        device->PortWrite(offset, width, value);
}

}  // namespace sim

using sim::PortSpace;

static uint32_t PortNumber(const void* port) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port)); }

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    return static_cast<UCHAR>(PortSpace::Instance().Read(PortNumber(Port), 1, "READ_PORT_UCHAR"));
}
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port)
{
    return static_cast<USHORT>(PortSpace::Instance().Read(PortNumber(Port), 2, "READ_PORT_USHORT"));
}
ULONG NTAPI READ_PORT_ULONG(PULONG Port)
{
    return PortSpace::Instance().Read(PortNumber(Port), 4, "READ_PORT_ULONG");
}
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    PortSpace::Instance().Write(PortNumber(Port), 1, Value, "WRITE_PORT_UCHAR");
}
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    PortSpace::Instance().Write(PortNumber(Port), 2, Value, "WRITE_PORT_USHORT");
}
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    PortSpace::Instance().Write(PortNumber(Port), 4, Value, "WRITE_PORT_ULONG");
}
