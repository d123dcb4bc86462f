// A running machine: the description's boards on the simulated PCI bus, the
// driver loaded and every board started over the registry that is open, a
// user process for the tool's threads, and the input generators. The
// destructor shuts the machine down the way the platform would, so the
// verifier's end-of-life checks run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "description.h"
#include "kernel/kobject.h"
#include "pnp/machine.h"

namespace tool {

inline constexpr const char* kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";
std::string DeviceKeyPath(uint32_t boardNumber);  // the service key's "Device%03u"

// What the start of one board came to.
struct BoardStart {
    int32_t status = 0;
    bool started = false;
    uint32_t number = 0xFFFFFFFFu;  // the board number; none unless started
    bool kept = false;              // the number's device key was there before this boot
    std::u16string devicePath;      // user-mode path of its interface, while started
};

class Generators;

class Session {
public:
    // Boots the machine; the registry (file store or memory) must be open.
    explicit Session(MachineDescription description);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const MachineDescription& description() const { return description_; }
    sim::Machine& machine() { return *machine_; }
    sim::Mdx4208Board& board(size_t slot) { return machine_->Board(slot); }
    const std::vector<BoardStart>& starts() const { return starts_; }
    size_t slotCount() const { return starts_.size(); }

    // The slot of the started board with this number.
    std::optional<size_t> SlotOfNumber(uint32_t number) const;
    // As SlotOfNumber, or throws a failed ToolError that says which boards
    // there are (and why a board of that number, if described, did not start).
    size_t RequireStarted(uint32_t number) const;
    // The lowest started board number; throws when no board started.
    uint32_t FirstNumber() const;
    // One line on a board's start: "board 0 at PCI 2:14.0 (left), BoardID 5: kept from an earlier run".
    std::string StartLine(size_t slot) const;
    // Why a start failed, in words, naming the board that holds a BoardID.
    std::string FailureReason(size_t slot) const;

    // The process the tool's threads act in; the constructing thread is
    // attached to it until the session ends.
    sim::Process* process() { return process_.get(); }

    // The description's input generators, on threads of their own.
    void StartGenerators();
    void StopGenerators();
    bool GeneratorsRunning() const;
    // Pulses the foreign devices have made so far.
    uint64_t ForeignPulses(size_t foreign) const;

private:
    MachineDescription description_;
    std::unique_ptr<sim::Machine> machine_;
    std::vector<BoardStart> starts_;
    sim::ProcessPtr process_;
    std::unique_ptr<sim::ProcessScope> scope_;
    std::unique_ptr<Generators> generators_;
};

}  // namespace tool
