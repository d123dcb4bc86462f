#include "testbed/testbed.h"

#include <cstdio>
#include <stdexcept>

#include "device/device_context.h"
#include "lifecycle/lifecycle.h"
#include "registry/sim_registry.h"
#include "wdf/interrupt.h"
#include "wdf/work_items.h"

namespace sim {

Testbed::Testbed() : Testbed(Options{}) {}

Testbed::Testbed(const Options& options) : options_(options)
{
    Registry::Instance().UseMemoryOnly();
    InterruptController::Instance().SetDeterministic(options.deterministic);
    WorkQueue::Instance().SetDeterministic(options.deterministic);
    machine_ = std::make_unique<Machine>();
    BoardSlot slot;
    slot.location = options.location;
    slot.boardIdSwitch = options.boardIdSwitch;
    slot.pciDeviceId = options.pciDeviceId;
    slot.interruptVector = options.interruptVector;
    machine_->AddBoard(slot);
    auto statuses = machine_->Boot(DriverEntry);
    if (statuses.size() != 1 || !NT_SUCCESS(statuses[0])) {
        char text[64];
        std::snprintf(text, sizeof text, "testbed: the board did not start (0x%08X)",
                      statuses.empty() ? 0u : static_cast<unsigned>(statuses[0]));
        throw std::runtime_error(text);
    }
    devicePath_ = machine_->InterfacePath(0);
}

Testbed::~Testbed()
{
    WorkQueue::Instance().Drain();
    machine_.reset();
    WorkQueue::Instance().Reset();
}

_DEVICE_EXTENSION* Testbed::extension() const { return GetDeviceExtension(device()); }

}  // namespace sim
