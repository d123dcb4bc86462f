#include "session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <stdexcept>

#include "lifecycle/lifecycle.h"
#include "names.h"
#include "registry/sim_registry.h"
#include "tool_error.h"
#include "wdf/interrupt.h"
#include "wdf/work_items.h"

namespace tool {

std::string DeviceKeyPath(uint32_t boardNumber)
{
    char name[24];
    std::snprintf(name, sizeof name, "\\Device%03u", boardNumber);
    return std::string(kServiceKey) + name;
}

namespace {

// The numbers whose device keys exist now.
// The board number whose map entry names `interfacePath` ("\\?\rest"): the
// entry holds "\\.\rest", the same device as user mode opens it.
uint32_t NumberFromMapEntry(const std::u16string& interfacePath)
{
    auto& registry = sim::Registry::Instance();
    const std::string mapKey = std::string(kServiceKey) + "\\MapEntry";
    if (interfacePath.size() < 4 || !registry.KeyExists(mapKey))
        return 0xFFFFFFFF;
    std::u16string expected = u"\\\\." + interfacePath.substr(3);
    for (const std::string& name : registry.ValueNames(mapKey)) {
        auto value = registry.GetValue(mapKey, name);
        if (!value || value->data.size() != expected.size() * 2)
            continue;
        std::u16string stored;
        for (size_t i = 0; i + 1 < value->data.size(); i += 2)
            stored.push_back(static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8));
        if (stored == expected && name.find_first_not_of("0123456789") == std::string::npos && !name.empty())
            return static_cast<uint32_t>(std::stoul(name));
    }
    return 0xFFFFFFFF;
}

std::set<uint32_t> NumbersInRegistry()
{
    std::set<uint32_t> numbers;
    auto& registry = sim::Registry::Instance();
    if (!registry.KeyExists(kServiceKey))
        return numbers;
    for (const std::string& name : registry.Subkeys(kServiceKey)) {
        if (name.size() <= 6 || !std::equal(name.begin(), name.begin() + 6, "device", [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            }))
            continue;
        auto number = name.find_first_not_of("0123456789", 6) == std::string::npos
                          ? std::stoul(name.substr(6))
                          : 0xFFFFFFFFul;
        if (number < 1024)
            numbers.insert(static_cast<uint32_t>(number));
    }
    return numbers;
}

}  // namespace

// ---- input generators ----------------------------------------------------------------

class Generators {
public:
    explicit Generators(Session& session) : session_(session), pulses_(session.description().foreign.size())
    {
        for (auto& count : pulses_)
            count = 0;
    }
    ~Generators() { Stop(); }

    void Start()
    {
        if (!threads_.empty())
            return;
        stopping_ = false;
        const MachineDescription& description = session_.description();
        for (size_t slot = 0; slot < description.boards.size(); ++slot)
            for (const GeneratorDesc& g : description.boards[slot].generators)
                threads_.emplace_back([this, slot, g] { RunOnBoard(slot, g); });
        for (size_t i = 0; i < description.foreign.size(); ++i)
            if (description.foreign[i].generator)
                threads_.emplace_back([this, i] { RunForeign(i); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_)
            thread.join();
        threads_.clear();
    }

    bool running() const { return !threads_.empty(); }
    uint64_t pulses(size_t foreign) const { return pulses_.at(foreign).load(); }

private:
    using Clock = std::chrono::steady_clock;

    // Waits for the next tick of a fixed-rate schedule; false once stopping.
    // A schedule that has fallen far behind starts again from now rather
    // than catching up in a burst.
    bool WaitTick(Clock::time_point& next, Clock::duration period)
    {
        next += period;
        auto now = Clock::now();
        if (now - next > std::chrono::milliseconds(100))
            next = now;
        std::unique_lock<std::mutex> lock(mutex_);
        return !wake_.wait_until(lock, next, [this] { return stopping_; });
    }

    static Clock::duration Period(double hz)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    }

    void RunOnBoard(size_t slot, GeneratorDesc g)
    {
        sim::Mdx4208Board& board = session_.board(slot);
        Clock::time_point next = Clock::now();
        if (g.kind == GeneratorDesc::Kind::Counter) {
            uint8_t value = static_cast<uint8_t>(board.Inputs() >> (8 * g.port));
            while (WaitTick(next, Period(g.hz))) {
                value = static_cast<uint8_t>(value + g.step);
                board.SetInputPort(g.port, value);
            }
        } else {
            // Two level changes per period.
            bool level = board.PinLevel(g.pin);
            while (WaitTick(next, Period(2 * g.hz))) {
                level = !level;
                board.SetPin(g.pin, level);
            }
        }
    }

    void RunForeign(size_t index)
    {
        const ForeignDesc& foreign = session_.description().foreign[index];
        const GeneratorDesc& g = *foreign.generator;
        sim::InterruptLine* line = sim::InterruptController::Instance().Line(foreign.interruptVector);
        const void* token = &foreign;
        Clock::time_point next = Clock::now();
        while (WaitTick(next, Period(g.hz))) {
            line->SetSource(token, true);
            pulses_[index].fetch_add(1);
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::microseconds(g.widthUs), [this] { return stopping_; });
            lock.unlock();
            line->SetSource(token, false);
        }
    }

    Session& session_;
    std::vector<std::thread> threads_;
    std::vector<std::atomic<uint64_t>> pulses_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// ---- the session ---------------------------------------------------------------------

Session::Session(MachineDescription description) : description_(std::move(description))
{
    // Interrupts, DPCs and work items run on their own threads, as on a
    // real machine.
    sim::InterruptController::Instance().SetDeterministic(false);
    sim::WorkQueue::Instance().SetDeterministic(false);
    const std::set<uint32_t> before = NumbersInRegistry();

    machine_ = std::make_unique<sim::Machine>();
    for (const BoardDesc& desc : description_.boards) {
        size_t slot = machine_->AddBoard(desc.slot);
        machine_->Board(slot).SetInputs(desc.inputs);
    }
    std::vector<NTSTATUS> statuses;
    try {
        statuses = machine_->Boot(DriverEntry);
    } catch (const std::runtime_error& e) {
        machine_.reset();
        throw Failed(std::string("the machine did not boot: ") + e.what());
    }
    for (size_t slot = 0; slot < statuses.size(); ++slot) {
        BoardStart start;
        start.status = statuses[slot];
        start.started = machine_->Started(slot);
        if (start.started) {
            start.devicePath = machine_->InterfacePath(slot);
            start.number = NumberFromMapEntry(start.devicePath);
            start.kept = before.count(start.number) != 0;
        }
        starts_.push_back(start);
    }
    process_ = machine_->NewProcess("mdx4208");
    scope_ = std::make_unique<sim::ProcessScope>(process_.get());
    generators_ = std::make_unique<Generators>(*this);
}

Session::~Session()
{
    generators_.reset();
    // The process exits first and closes whatever handles it still holds,
    // then work in flight finishes, then the PnP manager removes every
    // device and unloads the driver.
    scope_.reset();
    process_.reset();
    sim::WorkQueue::Instance().Drain();
    machine_.reset();
    sim::WorkQueue::Instance().Reset();
}

void Session::StartGenerators() { generators_->Start(); }
void Session::StopGenerators() { generators_->Stop(); }
bool Session::GeneratorsRunning() const { return generators_->running(); }
uint64_t Session::ForeignPulses(size_t foreign) const { return generators_->pulses(foreign); }

std::optional<size_t> Session::SlotOfNumber(uint32_t number) const
{
    for (size_t slot = 0; slot < starts_.size(); ++slot)
        if (starts_[slot].started && starts_[slot].number == number)
            return slot;
    return std::nullopt;
}

size_t Session::RequireStarted(uint32_t number) const
{
    if (auto slot = SlotOfNumber(number))
        return *slot;
    std::string numbers;
    for (const BoardStart& start : starts_)
        if (start.started)
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(start.number);
    throw Failed("no started board has number " + std::to_string(number) +
                 (numbers.empty() ? std::string("; no board started") : "; started boards: " + numbers));
}

uint32_t Session::FirstNumber() const
{
    std::optional<uint32_t> lowest;
    for (const BoardStart& start : starts_)
        if (start.started && (!lowest || start.number < *lowest))
            lowest = start.number;
    if (!lowest)
        throw Failed("no board of the machine started");
    return *lowest;
}

std::string Session::FailureReason(size_t slot) const
{
    const BoardStart& start = starts_.at(slot);
    const BoardDesc& desc = description_.boards.at(slot);
    if (start.status == STATUS_OBJECT_NAME_COLLISION) {
        for (size_t other = 0; other < starts_.size(); ++other) {
            const BoardDesc& o = description_.boards[other];
            if (other != slot && starts_[other].started && o.slot.boardIdSwitch == desc.slot.boardIdSwitch &&
                o.slot.pciDeviceId == desc.slot.pciDeviceId)
                return "refused: board " + std::to_string(starts_[other].number) + " (\"" + o.name + "\" at PCI " +
                       LocationText(o.slot.location) + ") already has BoardID " +
                       std::to_string(desc.slot.boardIdSwitch) + "; give one of them another BoardID switch";
        }
        return "refused: another started board already has BoardID " + std::to_string(desc.slot.boardIdSwitch);
    }
    return "did not start";
}

std::string Session::StartLine(size_t slot) const
{
    const BoardStart& start = starts_.at(slot);
    const BoardDesc& desc = description_.boards.at(slot);
    char head[160];
    std::snprintf(head, sizeof head, "\"%s\" at PCI %s, BoardID %u, interrupt %u", desc.name.c_str(),
                  LocationText(desc.slot.location).c_str(), desc.slot.boardIdSwitch, desc.slot.interruptVector);
    std::string text = head;
    if (desc.slot.pciDeviceId != sim::mdx4208::kDefaultDeviceId) {
        std::snprintf(head, sizeof head, ", device ID 0x%04X", desc.slot.pciDeviceId);
        text += head;
    }
    if (start.started)
        return "board " + std::to_string(start.number) + ": " + text +
               (start.kept ? " (kept from an earlier run)" : " (new)");
    return "not started: " + text + ": " + StatusText(start.status) + ", " + FailureReason(slot);
}

}  // namespace tool
