// The PnP manager of a simulated machine: PCI functions holding MDX-4208
// boards (or devices with another ID), the driver's load, device-add per
// function, resource assignment, and start, stop and removal in the
// framework's callback order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/mdx4208_board.h"
#include "kernel/kobject.h"
#include "platform/wdf.h"
#include "pnp/device_object.h"

namespace sim {

namespace wdf {
class Device;
}

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// How the resource lists handed to a start look; the malformed ones are for
// tests of the driver's checks.
enum class ResourceShape {
    Normal,
    TwoPortRanges,     // a second port range follows the board's
    NullDescriptor,    // a descriptor slot that holds nothing
    NoPort,
    NoInterrupt,
    ShortPortRange,    // a range too short for the registers
};

struct BoardSlot {
    PciLocation location;
    uint8_t boardIdSwitch = 0;
    uint16_t pciDeviceId = 0x4208;
    uint8_t boardIdUpperNibble = 0;
    uint32_t interruptVector = 11;  // boards with the same vector share a line
    bool configCompletesLater = false;
    ResourceShape resources = ResourceShape::Normal;
};

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Adds a PCI function; returns its index.
    size_t AddBoard(const BoardSlot& slot);
    size_t BoardCount() const { return boards_.size(); }
    Mdx4208Board& Board(size_t index);
    BoardSlot& Slot(size_t index);

    // Loads the driver: its entry point with the registry path of its service.
    NTSTATUS LoadDriver(DRIVER_INITIALIZE* entry, const std::u16string& serviceName = u"mdx4208");
    // Device-add for one function.
    NTSTATUS AddDevice(size_t index);
    // Resource assignment, hardware preparation, D0 entry, interrupt
    // connection, then the queue delivers and the interface opens.
    NTSTATUS Start(size_t index);
    // Interface closed, queue held, interrupt disconnected, D0 exit, release.
    void Stop(size_t index);
    // Stop when started, then the device object is deleted.
    void Remove(size_t index);
    // The board is gone without warning: like removal, with handles still open.
    void SurpriseRemove(size_t index);
    void UnloadDriver();

    // Load, add and start every function; the statuses of the starts.
    std::vector<NTSTATUS> Boot(DRIVER_INITIALIZE* entry);

    WDFDRIVER driver() const { return driver_; }
    WDFDEVICE Device(size_t index) const;
    bool Started(size_t index) const;
    uint32_t PortBase(size_t index) const;
    // The user-mode path of the function's device interface (empty if none).
    std::u16string InterfacePath(size_t index) const;

    ProcessPtr NewProcess(const std::string& name);

private:
    struct Entry;
    void ConnectInterrupts(Entry& entry);
    void DisconnectInterrupts(Entry& entry);
    void DeleteDevice(Entry& entry);

    _DRIVER_OBJECT* driverObject_ = nullptr;
    WDFDRIVER driver_ = nullptr;
    std::vector<std::unique_ptr<Entry>> boards_;
    uint32_t nextProcessId_ = 100;
    size_t kernelObjectsAtStart_ = 0;
};

}  // namespace sim
