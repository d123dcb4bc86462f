#include "pnp/machine.h"

#include <stdexcept>

#include "io/io_manager.h"
#include "io/port_space.h"
#include "kernel/memory.h"
#include "kernel/pool.h"
#include "registry/sim_registry.h"
#include "um/user_threads.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"
#include "wdf/interrupt.h"

namespace sim {
namespace {

constexpr uint32_t kFirstPortBase = 0xD000;
constexpr uint32_t kPortStride = 0x100;

Irql DeviceIrql(uint32_t vector) { return static_cast<Irql>(kDispatch + 1 + vector % 16); }

class ResourceList : public wdf::Object {
public:
    ResourceList() : Object(wdf::Kind::ResourceList, nullptr, nullptr) {}
    // A null entry is a slot that holds no descriptor.
    std::vector<std::unique_ptr<CM_PARTIAL_RESOURCE_DESCRIPTOR>> entries;
};

std::unique_ptr<CM_PARTIAL_RESOURCE_DESCRIPTOR> PortDescriptor(uint32_t base, uint32_t length)
{
    auto d = std::make_unique<CM_PARTIAL_RESOURCE_DESCRIPTOR>();
    d->Type = CmResourceTypePort;
    d->u.Port.Start.QuadPart = base;
    d->u.Port.Length = length;
    return d;
}

std::unique_ptr<CM_PARTIAL_RESOURCE_DESCRIPTOR> InterruptDescriptor(uint32_t level, uint32_t vector)
{
    auto d = std::make_unique<CM_PARTIAL_RESOURCE_DESCRIPTOR>();
    d->Type = CmResourceTypeInterrupt;
    d->u.Interrupt.Level = level;
    d->u.Interrupt.Vector = vector;
    d->u.Interrupt.Affinity = 1;
    return d;
}

// Raw lists name the bus's interrupt line; translated ones the system's level.
ResourceList* BuildList(ResourceShape shape, uint32_t base, uint32_t vector, bool translated)
{
    auto* list = new ResourceList();
    auto& e = list->entries;
    uint32_t length = shape == ResourceShape::ShortPortRange ? 16 : Mdx4208Board::kPortRangeLength;
    uint32_t level = translated ? DeviceIrql(vector) : vector;
    if (shape != ResourceShape::NoPort)
        e.push_back(PortDescriptor(base, length));
    if (shape == ResourceShape::NullDescriptor)
        e.push_back(nullptr);
    if (shape == ResourceShape::TwoPortRanges)
        e.push_back(PortDescriptor(base + 0x80, 0x40));
    if (shape != ResourceShape::NoInterrupt)
        e.push_back(InterruptDescriptor(level, vector));
    return list;
}

template <class Callback, class... Args>
NTSTATUS CallPnp(const char* name, wdf::Device* device, Callback callback, Args... args)
{
    if (!callback)
        return STATUS_SUCCESS;
    IrqlScope passive(kPassive);
    wdf::DeviceCallbackScope scope(device);
    CallbackFrame frame(name, device);
    return callback(reinterpret_cast<WDFDEVICE>(device), args...);
}

}  // namespace

struct Machine::Entry {
    BoardSlot slot;
    std::unique_ptr<Mdx4208Board> board;
    PciFunction function;
    PDEVICE_OBJECT pdo = nullptr;
    wdf::Device* device = nullptr;
    bool started = false;
    bool attached = false;
    uint32_t portBase = 0;
    ResourceList* raw = nullptr;
    ResourceList* translated = nullptr;
};

Machine::Machine() : kernelObjectsAtStart_((Process::System(), LiveKernelObjects())) {}

Machine::~Machine()
{
    UnloadDriver();
    for (auto& entry : boards_) {
        entry->board->SetLineListener(nullptr);
        entry->pdo->Dereference();
    }
    boards_.clear();
    DrainConfigRequests();
    InterruptController::Instance().Reset();
    WaitForUserThreads();

    auto& verifier = Verifier::Instance();
    if (size_t objects = wdf::LiveObjectCount())
        verifier.Report(rule::kObjectLeak, "driver unload", "-",
                        std::to_string(objects) + " framework objects left");
    if (size_t mdls = LiveMdlCount())
        verifier.Report(rule::kMdlLeak, "driver unload", "-", std::to_string(mdls) + " MDLs left");
    if (LiveKernelObjects() > kernelObjectsAtStart_)
        verifier.Report(rule::kReferenceLeak, "driver unload", "-",
                        std::to_string(LiveKernelObjects() - kernelObjectsAtStart_) +
                            " kernel objects still referenced");
    if (size_t blocks = PoolOutstanding())
        verifier.Report(rule::kPoolLeak, "driver unload", "-",
                        std::to_string(blocks) + " pool allocations left");
}

size_t Machine::AddBoard(const BoardSlot& slot)
{
    auto entry = std::make_unique<Entry>();
    entry->slot = slot;
    entry->board = std::make_unique<Mdx4208Board>(slot.boardIdSwitch, slot.pciDeviceId, slot.boardIdUpperNibble);
    entry->function.location = slot.location;
    entry->function.completeLater = slot.configCompletesLater;
    Mdx4208Board* board = entry->board.get();
    entry->function.readConfig = [board](uint32_t offset, void* buffer, uint32_t length) {
        return board->ReadConfig(offset, buffer, length);
    };
    entry->pdo = new _DEVICE_OBJECT(&entry->function);
    entry->portBase = kFirstPortBase + kPortStride * static_cast<uint32_t>(boards_.size());
    InterruptLine* line = InterruptController::Instance().Line(slot.interruptVector);
    board->SetLineListener([line, board](bool asserted) { line->SetSource(board, asserted); });
    boards_.push_back(std::move(entry));
    return boards_.size() - 1;
}

Mdx4208Board& Machine::Board(size_t index) { return *boards_.at(index)->board; }
BoardSlot& Machine::Slot(size_t index) { return boards_.at(index)->slot; }

NTSTATUS Machine::LoadDriver(DRIVER_INITIALIZE* entry, const std::u16string& serviceName)
{
    driverObject_ = new _DRIVER_OBJECT{};
    static const std::u16string prefix = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    std::u16string path = prefix + serviceName;
    // An installed driver has its service key.
    std::string utf8;
    for (char16_t c : path)
        utf8.push_back(static_cast<char>(c));
    Registry::Instance().CreateKey(utf8);
    UNICODE_STRING registryPath{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                                path.data()};
    NTSTATUS status;
    {
        IrqlScope passive(kPassive);
        CallbackFrame frame("DriverEntry", driverObject_);
        status = entry(driverObject_, &registryPath);
    }
    if (!NT_SUCCESS(status)) {
        if (driverObject_->FrameworkDriver)
            wdf::Object::Delete(driverObject_->FrameworkDriver);
        delete driverObject_;
        driverObject_ = nullptr;
        return status;
    }
    driver_ = reinterpret_cast<WDFDRIVER>(driverObject_->FrameworkDriver);
    return status;
}

NTSTATUS Machine::AddDevice(size_t index)
{
    Entry& entry = *boards_.at(index);
    auto* driver = static_cast<wdf::Driver*>(driverObject_->FrameworkDriver);
    WDFDEVICE_INIT init;
    init.PhysicalDevice = entry.pdo;
    NTSTATUS status;
    {
        IrqlScope passive(kPassive);
        CallbackFrame frame("EvtDriverDeviceAdd", driver);
        status = driver->config().EvtDriverDeviceAdd(driver_, &init);
    }
    auto* device = static_cast<wdf::Device*>(init.CreatedDevice);
    if (!NT_SUCCESS(status)) {
        // The framework deletes a device whose device-add failed.
        if (device)
            wdf::Object::Delete(device);
        return status;
    }
    entry.device = device;
    return status;
}

NTSTATUS Machine::Start(size_t index)
{
    Entry& entry = *boards_.at(index);
    wdf::Device* device = entry.device;
    if (!device || entry.started)
        return STATUS_INVALID_DEVICE_STATE;
    const ResourceShape shape = entry.slot.resources;
    const uint32_t vector = entry.slot.interruptVector;
    entry.raw = BuildList(shape, entry.portBase, vector, false);
    entry.translated = BuildList(shape, entry.portBase, vector, true);
    PortSpace::Instance().Attach(entry.portBase, Mdx4208Board::kPortRangeLength, entry.board.get());
    entry.attached = true;
    if (shape != ResourceShape::NoPort) {
        uint32_t length = shape == ResourceShape::ShortPortRange ? 16 : Mdx4208Board::kPortRangeLength;
        PortSpace::Instance().Assign(device, entry.portBase, length);
        if (shape == ResourceShape::TwoPortRanges)
            PortSpace::Instance().Assign(device, entry.portBase + 0x80, 0x40);
    }
    const auto& pnp = device->init().Pnp;
    auto raw = reinterpret_cast<WDFCMRESLIST>(entry.raw);
    auto translated = reinterpret_cast<WDFCMRESLIST>(entry.translated);

    NTSTATUS status = CallPnp("EvtDevicePrepareHardware", device, pnp.EvtDevicePrepareHardware, raw, translated);
    if (NT_SUCCESS(status))
        status = CallPnp("EvtDeviceD0Entry", device, pnp.EvtDeviceD0Entry, WdfPowerDeviceD3);
    if (NT_SUCCESS(status)) {
        ConnectInterrupts(entry);
        entry.started = true;
        device->setStarted(true);
        for (auto& iface : device->deviceInterfaces) {
            iface.enabled = true;
            ObjectNamespace::Instance().Link(iface.link, device);
        }
        return STATUS_SUCCESS;
    }
    // A failed start releases what preparation took.
    CallPnp("EvtDeviceReleaseHardware", device, pnp.EvtDeviceReleaseHardware, translated);
    PortSpace::Instance().Unassign(device);
    PortSpace::Instance().Detach(entry.board.get());
    entry.attached = false;
    wdf::Object::Delete(entry.raw);
    wdf::Object::Delete(entry.translated);
    entry.raw = entry.translated = nullptr;
    return status;
}

void Machine::ConnectInterrupts(Entry& entry)
{
    InterruptLine* line = InterruptController::Instance().Line(entry.slot.interruptVector);
    for (wdf::Interrupt* interrupt : entry.device->interrupts())
        interrupt->Connect(line, DeviceIrql(entry.slot.interruptVector));
}

void Machine::DisconnectInterrupts(Entry& entry)
{
    for (wdf::Interrupt* interrupt : entry.device->interrupts())
        interrupt->Disconnect();
}

void Machine::Stop(size_t index)
{
    Entry& entry = *boards_.at(index);
    wdf::Device* device = entry.device;
    if (!device || !entry.started)
        return;
    for (auto& iface : device->deviceInterfaces) {
        iface.enabled = false;
        ObjectNamespace::Instance().Unlink(iface.link);
    }
    device->setStarted(false);
    device->WaitIdle();
    DisconnectInterrupts(entry);
    const auto& pnp = device->init().Pnp;
    CallPnp("EvtDeviceD0Exit", device, pnp.EvtDeviceD0Exit, WdfPowerDeviceD3);
    CallPnp("EvtDeviceReleaseHardware", device, pnp.EvtDeviceReleaseHardware,
            reinterpret_cast<WDFCMRESLIST>(entry.translated));
    PortSpace::Instance().Unassign(device);
    if (entry.attached)
        PortSpace::Instance().Detach(entry.board.get());
    entry.attached = false;
    wdf::Object::Delete(entry.raw);
    wdf::Object::Delete(entry.translated);
    entry.raw = entry.translated = nullptr;
    entry.started = false;
}

void Machine::DeleteDevice(Entry& entry)
{
    if (!entry.device)
        return;
    ObjectNamespace::Instance().UnlinkDevice(entry.device);
    IrqlScope passive(kPassive);
    wdf::Object::Delete(entry.device);
    entry.device = nullptr;
}

void Machine::Remove(size_t index)
{
    Stop(index);
    DeleteDevice(*boards_.at(index));
}

void Machine::SurpriseRemove(size_t index)
{
    Entry& entry = *boards_.at(index);
    // The board is gone before the driver hears of it.
    if (entry.attached) {
        PortSpace::Instance().Detach(entry.board.get());
        entry.attached = false;
    }
    Remove(index);
}

void Machine::UnloadDriver()
{
    for (size_t i = 0; i < boards_.size(); ++i)
        Remove(i);
    if (driverObject_) {
        if (driverObject_->FrameworkDriver)
            wdf::Object::Delete(driverObject_->FrameworkDriver);
        delete driverObject_;
        driverObject_ = nullptr;
        driver_ = nullptr;
    }
}

std::vector<NTSTATUS> Machine::Boot(DRIVER_INITIALIZE* entry)
{
    std::vector<NTSTATUS> statuses;
    NTSTATUS status = LoadDriver(entry);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("the driver failed to load");
    for (size_t i = 0; i < boards_.size(); ++i) {
        status = AddDevice(i);
        statuses.push_back(NT_SUCCESS(status) ? Start(i) : status);
    }
    return statuses;
}

WDFDEVICE Machine::Device(size_t index) const
{
    return reinterpret_cast<WDFDEVICE>(boards_.at(index)->device);
}

bool Machine::Started(size_t index) const { return boards_.at(index)->started; }
uint32_t Machine::PortBase(size_t index) const { return boards_.at(index)->portBase; }

std::u16string Machine::InterfacePath(size_t index) const
{
    wdf::Device* device = boards_.at(index)->device;
    if (!device || device->deviceInterfaces.empty())
        return {};
    // The user-mode form of "\??\rest" is "\\?\rest".
    return u"\\\\?\\" + device->deviceInterfaces.front().link.substr(4);
}

ProcessPtr Machine::NewProcess(const std::string& name)
{
    return ProcessPtr(new Process(nextProcessId_++, name));
}

}  // namespace sim

using namespace sim;

ULONG NTAPI WdfCmResourceListGetCount(WDFCMRESLIST List)
{
    auto* list = wdf::ResolveAs<ResourceList>(List, wdf::Kind::ResourceList, "WdfCmResourceListGetCount");
    return list ? static_cast<ULONG>(list->entries.size()) : 0;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR NTAPI WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index)
{
    auto* list = wdf::ResolveAs<ResourceList>(List, wdf::Kind::ResourceList, "WdfCmResourceListGetDescriptor");
    if (!list || Index >= list->entries.size())
        return nullptr;
    return list->entries[Index].get();
}
