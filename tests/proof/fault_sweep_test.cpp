// Fault sweeps over the driver's entry points. Each fallible operation that an
// entry point reaches is failed on its first call, then on its second, and so
// on until a run no longer reaches it; the operations that can raise are also
// made to raise. Every run checks the status the entry point returns against
// its contract, the state it leaves, that nothing leaks once the machine is
// gone, and that the device works again once the fault is removed.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/device_context.h"
#include "kernel/irql.h"
#include "kernel/kobject.h"
#include "kernel/memory.h"
#include "kernel/pool.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "registry/registry.h"
#include "registry/sim_registry.h"
#include "support/sim_test.h"
#include "wdf/interrupt.h"
#include "wdf/objects.h"
#include "wdf/work_items.h"

namespace {

using sim::Verifier;
using FaultKind = sim::Verifier::FaultKind;
using simtest::Bytes;

// Every operation of the platform that honours fault injection.
const char* const kFallible[] = {
    "ExAllocatePoolWithTag",   "IoAllocateMdl",
    "MmMapLockedPagesSpecifyCache", "WdfDriverCreate",
    "WdfDeviceCreate",         "WdfDeviceCreateDeviceInterface",
    "WdfDeviceQueryProperty",  "WdfIoQueueCreate",
    "WdfInterruptCreate",      "WdfSpinLockCreate",
    "WdfWaitLockCreate",       "WdfWorkItemCreate",
    "WdfStringCreate",         "WdfDeviceRetrieveDeviceInterfaceString",
    "IoBuildSynchronousFsdRequest", "PciReadConfig",
    "WdfRegistryOpenKey",      "WdfRegistryCreateKey",
    "WdfRegistryQueryValue",   "WdfRegistryAssignValue",
    "ZwEnumerateKey",          "RtlQueryRegistryValues",
};
// The ones that can also raise an exception instead of failing.
const char* const kRaising[] = {"MmMapLockedPagesSpecifyCache", "WdfRegistryQueryValue",
                                "WdfRegistryAssignValue"};

const char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";
const std::string kDevice000 = std::string(kServiceKey) + "\\Device000";
constexpr uint32_t kAccessShared = um::kGenericRead | um::kFileWriteData;
constexpr uint32_t kAccessPrivileged = kAccessShared | um::kFileWriteAttributes;

struct Fault {
    std::string op;
    uint64_t nth;
    FaultKind kind;
};

std::string Describe(const Fault& fault)
{
    return fault.op + (fault.kind == FaultKind::Raise ? " raising" : " failing") + " on call " +
           std::to_string(fault.nth);
}

struct Result {
    explicit Result(NTSTATUS s = STATUS_SUCCESS, uint32_t b = 0, std::vector<uint8_t> o = {})
        : status(s), bytes(b), output(std::move(o))
    {
    }
    NTSTATUS status;
    uint32_t bytes;
    std::vector<uint8_t> output;
};

// What the contract says an entry point returns under one fault.
struct Verdict {
    bool succeeds;
    NTSTATUS status = STATUS_SUCCESS;  // the failure status, when it is named
};
Verdict Succeeds() { return {true}; }
Verdict FailsWith(NTSTATUS status) { return {false, status}; }
// The status each injected failure hands back to its caller.
NTSTATUS InjectedStatus(const Fault& fault)
{
    return fault.op == "PciReadConfig" ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES;
}

// The record a known board with BoardID 5 has in the registry, and the
// settings a new board gets.
struct Settings {
    uint32_t initOnLoad;
    std::vector<uint8_t> edges;
    std::vector<uint8_t> inverse;
};
const Settings kStoredSettings{0, {0, 1, 0, 1}, {0xFF, 0x00, 0x0F, 0x00}};
const Settings kDefaultSettings{1, {1, 1, 1, 1}, {0, 0, 0, 0}};
constexpr uint8_t kKnownBoardId = 5;

void WriteKnownRecord()
{
    auto& registry = sim::Registry::Instance();
    registry.SetValue(kDevice000, "ProductID", sim::RegValue::Dword(MDX_PRODUCT_ID));
    registry.SetValue(kDevice000, "BoardID", sim::RegValue::Dword(kKnownBoardId));
    registry.SetValue(kDevice000, "BusNumber", sim::RegValue::Dword(2));
    registry.SetValue(kDevice000, "SlotNumber", sim::RegValue::Dword(14));
    registry.SetValue(kDevice000, "InitOnLoad", sim::RegValue::Dword(kStoredSettings.initOnLoad));
    registry.SetValue(kDevice000, "DiintTrigEdge", sim::RegValue::Binary(kStoredSettings.edges));
    registry.SetValue(kDevice000, "DiInversePorts", sim::RegValue::Binary(kStoredSettings.inverse));
}

enum class Stage { Empty, Loaded, Added, Started, Stopped, Opened };

// One machine with one board, brought to a stage, and a user process on the
// test's thread.
class Rig {
public:
    Rig(uint8_t boardIdSwitch, bool knownRecord) : boardId(boardIdSwitch)
    {
        sim::Registry::Instance().UseMemoryOnly();
        if (knownRecord)
            WriteKnownRecord();
        sim::InterruptController::Instance().SetDeterministic(false);
        sim::WorkQueue::Instance().SetDeterministic(false);
        machine = std::make_unique<sim::Machine>();
        sim::BoardSlot slot;
        slot.location = {2, 14, 0};
        slot.boardIdSwitch = boardIdSwitch;
        machine->AddBoard(slot);
        process = machine->NewProcess("sweep");
        scope = std::make_unique<sim::ProcessScope>(process.get());
    }

    // Brings the machine to `stage` with no fault armed; false if a step fails.
    bool Reach(Stage stage)
    {
        if (stage >= Stage::Loaded && machine->LoadDriver(DriverEntry) != STATUS_SUCCESS)
            return false;
        if (stage >= Stage::Added && machine->AddDevice(0) != STATUS_SUCCESS)
            return false;
        if (stage >= Stage::Started && machine->Start(0) != STATUS_SUCCESS)
            return false;
        if (stage == Stage::Stopped)
            machine->Stop(0);
        if (stage == Stage::Opened) {
            handle = Open(kAccessPrivileged);
            if (!handle || um::CreateEvent(false, false, &event) != 0)
                return false;
        }
        return true;
    }

    um::HANDLE Open(uint32_t access)
    {
        um::HANDLE opened = nullptr;
        if (um::CreateFile(Path().c_str(), access, &opened) != 0)
            return nullptr;
        handles.push_back(opened);
        return opened;
    }

    void Close(um::HANDLE closing)
    {
        um::CloseHandle(closing);
        std::erase(handles, closing);
    }

    std::u16string Path() const { return machine->InterfacePath(0); }
    PDEVICE_EXTENSION Extension() const
    {
        WDFDEVICE device = machine->Device(0);
        return device ? GetDeviceExtension(device) : nullptr;
    }

    // Loads, adds and starts whatever is missing, then a new handle reads the
    // input ports.
    void ExpectWorking()
    {
        if (!machine->driver()) {
            ASSERT_EQ(machine->LoadDriver(DriverEntry), STATUS_SUCCESS);
        }
        if (!machine->Device(0)) {
            ASSERT_EQ(machine->AddDevice(0), STATUS_SUCCESS);
        }
        if (!machine->Started(0)) {
            ASSERT_EQ(machine->Start(0), STATUS_SUCCESS);
        }
        machine->Board(0).SetInputs(0x44332211);
        um::HANDLE probe = Open(kAccessShared);
        ASSERT_NE(probe, nullptr);
        auto read = simtest::Ioctl(probe, IOCTL_READ_DI_PORTS, Bytes({0, 4}), 4);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.bytes, 4u);
        // Each port XOR its inversion mask, whatever the record gave.
        const uint8_t* inverse = Extension()->Shared->DiInversePorts;
        EXPECT_EQ(read.output, (std::vector<uint8_t>{static_cast<uint8_t>(0x11 ^ inverse[0]),
                                                     static_cast<uint8_t>(0x22 ^ inverse[1]),
                                                     static_cast<uint8_t>(0x33 ^ inverse[2]),
                                                     static_cast<uint8_t>(0x44 ^ inverse[3])}));
        Close(probe);
    }

    // Closes the rig's handles (their mappings must go with them), exits the
    // process and removes the machine.
    void TearDown()
    {
        for (um::HANDLE h : std::vector<um::HANDLE>(handles))
            Close(h);
        if (event)
            um::CloseHandle(event);
        EXPECT_EQ(process->MappingCount(), 0u) << "mappings left after every handle closed";
        scope.reset();
        process.reset();
        sim::WorkQueue::Instance().Drain();
        machine.reset();
        sim::WorkQueue::Instance().Reset();
    }

    const uint8_t boardId;
    std::unique_ptr<sim::Machine> machine;
    sim::ProcessPtr process;
    std::unique_ptr<sim::ProcessScope> scope;
    std::vector<um::HANDLE> handles;
    um::HANDLE handle = nullptr;  // the privileged handle of Stage::Opened
    um::HANDLE event = nullptr;
    std::map<std::string, uint64_t> lookupCalls;
    std::string registryBefore;
};

// The service key and everything below it, as text; empty while it is absent.
std::string ServiceKeyText()
{
    auto& registry = sim::Registry::Instance();
    return registry.KeyExists(kServiceKey) ? registry.Export(kServiceKey) : std::string();
}

// How often each operation is reached by the number lookup and allocation of
// a preparation, the steps whose failures fail a start: measured by running
// those routines over the registry as it stands before the start.
std::map<std::string, uint64_t> MeasureLookup(Rig& rig)
{
    auto& verifier = Verifier::Instance();
    for (const char* op : kFallible)
        verifier.ArmFault(op, UINT64_MAX);
    const SHARED_BLOCK* shared = rig.Extension()->Shared;
    const ULONG boardId = rig.boardId;
    ULONG number = MDX_NO_BOARD_NUMBER;
    {
        sim::IrqlScope passive(sim::kPassive);
        if (boardId)
            FindBoardById(ServiceKeyPath, shared->ProductID, boardId, &number);
        else
            FindBoardByLocation(ServiceKeyPath, shared->ProductID, shared->BusNumber, shared->SlotNumber,
                                &number);
        if (number == MDX_NO_BOARD_NUMBER)
            AllocateBoardNumber(&number);
    }
    std::map<std::string, uint64_t> calls;
    for (const char* op : kFallible)
        calls[op] = verifier.CallsSeen(op);
    verifier.DisarmFaults();
    return calls;
}

std::vector<uint8_t> WideName(const char* name, size_t bytes)
{
    std::vector<uint8_t> out(bytes, 0);
    for (size_t i = 0; name[i] && 2 * i + 1 < bytes; ++i)
        out[2 * i] = static_cast<uint8_t>(name[i]);
    return out;
}

std::vector<uint8_t> WriteValueInput()
{
    std::vector<uint8_t> input(sizeof(WRITE_DEVICE_VALUE_INPUT), 0);
    auto name = WideName("SweepValue", 128);
    std::memcpy(input.data() + 4, name.data(), name.size());
    auto tail = Bytes({REG_DWORD, 4, 0x5A5A1234});
    std::memcpy(input.data() + 132, tail.data(), tail.size());
    return input;
}

struct EntryPoint {
    EntryPoint(const char* n, Stage s, uint8_t id = 0, bool known = false)
        : name(n), stage(s), boardId(id), knownRecord(known)
    {
    }
    const char* name;
    Stage stage;
    uint8_t boardId;
    bool knownRecord;
    // Run before the fault is armed.
    std::function<void(Rig&)> before = [](Rig&) {};
    std::function<Result(Rig&)> call;
    std::function<Verdict(const Rig&, const Fault&)> judge;
    // The state the entry point leaves, under the fault and its result.
    std::function<void(Rig&, const Fault&, const Result&)> check = [](Rig&, const Fault&, const Result&) {};
    // A request is sent again once the fault is gone and must succeed.
    bool repeat = false;
};

// ---- driver load and device-add -------------------------------------------------------

EntryPoint Load()
{
    EntryPoint e("load", Stage::Empty);
    e.call = [](Rig& rig) { return Result{rig.machine->LoadDriver(DriverEntry)}; };
    e.judge = [](const Rig&, const Fault& f) { return FailsWith(InjectedStatus(f)); };
    e.check = [](Rig& rig, const Fault&, const Result& r) {
        if (NT_SUCCESS(r.status))
            return;
        EXPECT_EQ(rig.machine->driver(), nullptr);
        EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u) << "a failed load leaves framework objects";
    };
    return e;
}

EntryPoint DeviceAdd()
{
    EntryPoint e("device-add", Stage::Loaded);
    e.call = [](Rig& rig) { return Result{rig.machine->AddDevice(0)}; };
    // The configuration read only decides the product; device creation goes on.
    e.judge = [](const Rig&, const Fault& f) {
        return f.op == "IoBuildSynchronousFsdRequest" || f.op == "PciReadConfig" ? Succeeds()
                                                                                 : FailsWith(InjectedStatus(f));
    };
    e.check = [](Rig& rig, const Fault& f, const Result& r) {
        if (NT_SUCCESS(r.status)) {
            const bool pci = f.op == "IoBuildSynchronousFsdRequest" || f.op == "PciReadConfig";
            EXPECT_EQ(rig.Extension()->Shared->ProductID, pci ? 0u : MDX_PRODUCT_ID);
            return;
        }
        EXPECT_EQ(rig.machine->Device(0), nullptr);
        EXPECT_EQ(sim::wdf::LiveObjectCount(sim::wdf::Kind::Device), 0u);
        EXPECT_EQ(sim::PoolOutstanding("KSHB"), 0u);
        EXPECT_EQ(sim::LiveMdlCount(), 0u);
    };
    return e;
}

// ---- hardware preparation and release ---------------------------------------------------

// Settings in the block after a known board's start: the stored values of a
// prefix of the rows, the defaults after it, since a table read stops at
// its first failing row.
void ExpectSettingsPrefix(const SHARED_BLOCK* shared)
{
    auto pick = [](int rowsRead) {
        return Settings{rowsRead > 0 ? kStoredSettings.initOnLoad : kDefaultSettings.initOnLoad,
                        rowsRead > 1 ? kStoredSettings.edges : kDefaultSettings.edges,
                        rowsRead > 2 ? kStoredSettings.inverse : kDefaultSettings.inverse};
    };
    std::vector<uint8_t> edges(shared->DiintTrigEdge, shared->DiintTrigEdge + 4);
    std::vector<uint8_t> inverse(shared->DiInversePorts, shared->DiInversePorts + 4);
    bool matched = false;
    for (int rows = 0; rows <= 3; ++rows) {
        Settings s = pick(rows);
        matched |= s.initOnLoad == shared->InitOnLoad && s.edges == edges && s.inverse == inverse;
    }
    EXPECT_TRUE(matched) << "settings are neither stored nor default values row by row";
}

// A start: the failures of the lookup and allocation fail it with their
// status and change nothing; the walk skips a subkey it cannot query and a
// board whose liveness cannot be read counts as not alive; the record and
// map-entry writes after the lookup are not acted on.
EntryPoint Prepare(const char* name, Stage stage, uint8_t boardId, bool knownRecord,
                   std::map<std::string, uint64_t> absorbedFrom, ULONG number)
{
    EntryPoint e(name, stage, boardId, knownRecord);
    e.before = [](Rig& rig) {
        rig.lookupCalls = MeasureLookup(rig);
        rig.registryBefore = ServiceKeyText();
    };
    e.call = [](Rig& rig) { return Result{rig.machine->Start(0)}; };
    e.judge = [absorbedFrom](const Rig& rig, const Fault& f) {
        if (f.nth > rig.lookupCalls.at(f.op))
            return Succeeds();
        auto absorbed = absorbedFrom.find(f.op);
        if (absorbed != absorbedFrom.end() && f.nth >= absorbed->second)
            return Succeeds();
        return FailsWith(f.op == "ExAllocatePoolWithTag" ? ERR_NO_MEMORY : InjectedStatus(f));
    };
    e.check = [boardId, knownRecord, number](Rig& rig, const Fault& f, const Result& r) {
        PDEVICE_EXTENSION extension = rig.Extension();
        const SHARED_BLOCK* shared = extension->Shared;
        if (!NT_SUCCESS(r.status)) {
            EXPECT_EQ(ServiceKeyText(), rig.registryBefore)
                << "a failed start changed the registry";
            EXPECT_EQ(extension->Prepared, 0u);
            EXPECT_EQ(BoardTable.Count, 0u);
            EXPECT_FALSE(rig.machine->Started(0));
            return;
        }
        EXPECT_EQ(extension->Prepared, 1u);
        EXPECT_EQ(BoardTable.Count, boardId ? 1u : 0u);
        EXPECT_EQ(shared->BoardNumber, extension->BoardNumber);
        // A subkey skipped by the walk leaves the board without its number:
        // it gets the lowest free one.
        ULONG expected = f.op == "RtlQueryRegistryValues" && f.nth <= rig.lookupCalls.at(f.op) ? 1 : number;
        EXPECT_EQ(extension->BoardNumber, expected);
        if (knownRecord)
            ExpectSettingsPrefix(shared);
    };
    return e;
}

EntryPoint Release()
{
    EntryPoint e("release", Stage::Started, kKnownBoardId);
    e.call = [](Rig& rig) {
        rig.machine->Stop(0);
        return Result{};
    };
    e.judge = [](const Rig&, const Fault&) { return Succeeds(); };
    e.check = [](Rig& rig, const Fault&, const Result&) {
        EXPECT_FALSE(rig.machine->Started(0));
        EXPECT_EQ(rig.Extension()->Prepared, 0u);
        EXPECT_EQ(BoardTable.Count, 0u);
    };
    return e;
}

// ---- file create and close --------------------------------------------------------------

EntryPoint Create(const char* name, uint32_t access)
{
    EntryPoint e(name, Stage::Started);
    e.call = [access](Rig& rig) {
        um::HANDLE h = nullptr;
        NTSTATUS status = um::CreateFile(rig.Path().c_str(), access, &h);
        if (NT_SUCCESS(status))
            rig.handles.push_back(h);
        rig.handle = h;
        return Result{status};
    };
    // A mapping that comes back null still gives a usable handle; one that
    // raises fails the open.
    e.judge = [](const Rig&, const Fault& f) {
        if (f.op == "MmMapLockedPagesSpecifyCache")
            return f.kind == FaultKind::Fail ? Succeeds() : FailsWith(ERR_NO_MEMORY);
        return FailsWith(InjectedStatus(f));
    };
    e.check = [access](Rig& rig, const Fault& f, const Result& r) {
        const bool unmapped = f.op == "MmMapLockedPagesSpecifyCache";
        if (NT_SUCCESS(r.status)) {
            uint32_t address = 0, bytes = 0;
            EXPECT_EQ(um::DeviceIoControl(rig.handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address, 4, &bytes),
                      STATUS_SUCCESS);
            EXPECT_EQ(address == 0, unmapped);
            EXPECT_EQ(rig.process->MappingCount(), unmapped ? 0u : 1u);
            EXPECT_EQ(simtest::Ioctl(rig.handle, IOCTL_READ_DI_PORTS, Bytes({0, 4}), 4).status, STATUS_SUCCESS);
            if (access & um::kFileWriteAttributes) {
                um::HANDLE second = nullptr;
                EXPECT_EQ(um::CreateFile(rig.Path().c_str(), kAccessPrivileged, &second), ERR_PRIVILEGE_IN_USE)
                    << "the open holds the privilege even without a mapping";
            }
            return;
        }
        EXPECT_EQ(rig.process->MappingCount(), 0u) << "a failed open left a mapping";
        // Nothing was listed: the device's privileged handle is still free.
        um::HANDLE privileged = rig.Open(kAccessPrivileged);
        EXPECT_NE(privileged, nullptr) << "a failed open left the privileged handle taken";
        if (privileged)
            rig.Close(privileged);
    };
    return e;
}

EntryPoint CloseFile(const char* name, uint32_t access)
{
    EntryPoint e(name, Stage::Started);
    e.before = [access](Rig& rig) {
        rig.handle = rig.Open(access);
        EXPECT_NE(rig.handle, nullptr);
    };
    e.call = [](Rig& rig) {
        NTSTATUS status = um::CloseHandle(rig.handle);
        std::erase(rig.handles, rig.handle);
        return Result{status};
    };
    e.judge = [](const Rig&, const Fault&) { return Succeeds(); };
    e.check = [](Rig& rig, const Fault&, const Result&) {
        EXPECT_EQ(rig.process->MappingCount(), 0u);
        um::HANDLE privileged = rig.Open(kAccessPrivileged);
        EXPECT_NE(privileged, nullptr);
        if (privileged)
            rig.Close(privileged);
    };
    return e;
}

// ---- control requests -----------------------------------------------------------------

struct RequestCase {
    const char* name;
    uint32_t code;
    std::function<std::vector<uint8_t>(Rig&)> input;
    uint32_t outputLength;
};

std::vector<RequestCase> Requests()
{
    auto fixed = [](std::vector<uint8_t> bytes) { return [bytes](Rig&) { return bytes; }; };
    auto base = [](Rig& rig) { return rig.machine->PortBase(0); };
    return {
        {"GET_SHARED_ADDRESS", IOCTL_GET_SHARED_ADDRESS, fixed({}), 4},
        {"READ_DEVICE_VALUE", IOCTL_READ_DEVICE_VALUE, fixed(WideName("InitOnLoad", 32)), 4},
        {"WRITE_DEVICE_VALUE", IOCTL_WRITE_DEVICE_VALUE, fixed(WriteValueInput()), 0},
        {"READ_PORT", IOCTL_READ_PORT, [base](Rig& rig) { return Bytes({base(rig)}); }, 1},
        {"WRITE_PORT", IOCTL_WRITE_PORT,
         [base](Rig& rig) {
             auto input = Bytes({base(rig) + 12});
             input.push_back(0x0F);
             return input;
         },
         0},
        {"REGISTER_EVENTS", IOCTL_REGISTER_EVENTS,
         [](Rig& rig) {
             return Bytes({EVENT_GENERAL, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(rig.event)), 0});
         },
         0},
        {"UNREGISTER_EVENTS", IOCTL_UNREGISTER_EVENTS, fixed({}), 0},
        {"QUERY_ZERO_STATUS", IOCTL_QUERY_ZERO_STATUS, fixed(Bytes({0})), 8},
        {"PRIVILEGED_ACCEPT", IOCTL_PRIVILEGED_ACCEPT, fixed(Bytes({0, 0, 0})), 0},
        {"SIGNAL_GENERAL_EVENT", IOCTL_SIGNAL_GENERAL_EVENT, fixed({}), 0},
        {"GET_LOCATION", IOCTL_GET_LOCATION, fixed({}), 256},
        {"SET_TRIGGER_EDGES", IOCTL_SET_TRIGGER_EDGES, fixed({0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1, 0, 1, 0}), 0},
        {"READ_DI_PORTS", IOCTL_READ_DI_PORTS, fixed(Bytes({0, 4})), 4},
        {"ENABLE_DI_INTERRUPT", IOCTL_ENABLE_DI_INTERRUPT, fixed(Bytes({EVENT_DI_INT0, 0, 4})), 0},
        {"DISABLE_DI_INTERRUPT", IOCTL_DISABLE_DI_INTERRUPT, fixed(Bytes({EVENT_DI_INT0})), 0},
    };
}

// A request fails with the status of what failed under it; a value call that
// raises fails it with STATUS_INVALID_PARAMETER.
EntryPoint Request(const RequestCase& request)
{
    EntryPoint e(request.name, Stage::Opened);
    e.repeat = true;
    e.call = [request](Rig& rig) {
        auto io = simtest::Ioctl(rig.handle, request.code, request.input(rig), request.outputLength);
        return Result{io.status, io.bytes, io.output};
    };
    e.judge = [](const Rig&, const Fault& f) {
        return FailsWith(f.kind == FaultKind::Raise ? STATUS_INVALID_PARAMETER : InjectedStatus(f));
    };
    const uint32_t code = request.code;
    e.check = [code](Rig&, const Fault&, const Result& r) {
        if (!NT_SUCCESS(r.status)) {
            EXPECT_EQ(r.bytes, 0u);
        }
        if (code == IOCTL_WRITE_DEVICE_VALUE) {
            auto stored = sim::Registry::Instance().GetValue(kDevice000, "SweepValue");
            EXPECT_EQ(stored.has_value(), NT_SUCCESS(r.status)) << "a failed write changed the record";
        }
        if (code == IOCTL_READ_DEVICE_VALUE && NT_SUCCESS(r.status)) {
            EXPECT_EQ(r.output, (std::vector<uint8_t>{1, 0, 0, 0}));
        }
    };
    return e;
}

void PrintTo(const EntryPoint& entry, std::ostream* os) { *os << entry.name; }

std::vector<EntryPoint> EntryPoints()
{
    std::vector<EntryPoint> all = {
        Load(),
        DeviceAdd(),
        Prepare("prepare-fresh-registry", Stage::Added, 0, false, {}, 0),
        Prepare("prepare-known-board", Stage::Added, kKnownBoardId, true, {{"RtlQueryRegistryValues", 1}}, 0),
        // A restart finds the board by its place on the bus, asking whether
        // the number's map entry names a live device.
        Prepare("prepare-restart-by-location", Stage::Stopped, 0, false,
                {{"RtlQueryRegistryValues", 1}, {"WdfRegistryOpenKey", 2}, {"WdfRegistryQueryValue", 1}}, 0),
        Release(),
        Create("create-shared", kAccessShared),
        Create("create-privileged", kAccessPrivileged),
        CloseFile("close-shared", kAccessShared),
        CloseFile("close-privileged", kAccessPrivileged),
    };
    for (const RequestCase& request : Requests())
        all.push_back(Request(request));
    return all;
}

std::map<std::string, size_t>& PointsReached()
{
    static std::map<std::string, size_t> points;
    return points;
}

class FaultSweep : public simtest::SimTest, public ::testing::WithParamInterface<EntryPoint> {
protected:
    static void TearDownTestSuite()
    {
        size_t total = 0;
        for (const auto& [name, points] : PointsReached()) {
            std::printf("fault sweep: %-28s %4zu failure points\n", name.c_str(), points);
            total += points;
        }
        std::printf("fault sweep: %-28s %4zu failure points\n", "total", total);
    }

    // One run under one fault; false when the fault was not reached.
    bool RunOnce(const EntryPoint& entry, const Fault& fault)
    {
        SCOPED_TRACE(std::string(entry.name) + ": " + Describe(fault));
        auto& verifier = Verifier::Instance();
        verifier.ClearViolations();
        const Holdings before = Holdings::Now();
        bool reached = false;
        {
            sim::ViolationCapture capture;
            Rig rig(entry.boardId, entry.knownRecord);
            if (!rig.Reach(entry.stage)) {
                ADD_FAILURE() << "the machine did not reach the entry point";
                rig.TearDown();
                return false;
            }
            entry.before(rig);
            bool escaped = false;
            Result result;
            verifier.ArmFault(fault.op, fault.nth, fault.kind);
            try {
                result = entry.call(rig);
            } catch (const sim::RaisedException& raised) {
                escaped = true;
                leftovers_ = true;
                ADD_FAILURE() << "an exception (0x" << std::hex << raised.status
                              << ") raised by the platform escaped the driver";
            }
            reached = verifier.CallsSeen(fault.op) >= fault.nth;
            verifier.DisarmFaults();
            // Wait for what the request's work item still does after completing.
            sim::WorkQueue::Instance().Drain();

            if (!escaped) {
                // A run the fault did not reach is a run without a fault.
                const Fault effective = reached ? fault : Fault{"", 0, FaultKind::None};
                Verdict verdict = reached ? entry.judge(rig, fault) : Succeeds();
                if (verdict.succeeds) {
                    EXPECT_EQ(result.status, STATUS_SUCCESS) << "a failure the contract does not act on failed the call";
                } else {
                    EXPECT_FALSE(NT_SUCCESS(result.status)) << "the failure was reported as success";
                    if (verdict.status) {
                        EXPECT_EQ(static_cast<uint32_t>(result.status), static_cast<uint32_t>(verdict.status));
                    }
                }
                // A registry routine gives its keys and buffers back before it returns.
                EXPECT_EQ(sim::OpenRegistryKeyCount(), before.registryKeys);
                EXPECT_EQ(sim::PoolOutstanding("REGP"), before.registryBuffers);
                entry.check(rig, effective, result);
                rig.ExpectWorking();
                if (entry.repeat) {
                    Result again = entry.call(rig);
                    EXPECT_EQ(again.status, STATUS_SUCCESS) << "the request fails once the fault is gone";
                }
            }
            rig.TearDown();
        }
        // Everything is gone with the machine, and nothing broke a rule. The
        // machine's own count at unload is absolute, so it is only heeded
        // while no escaped exception has left objects behind in this process.
        for (const sim::Violation& v : verifier.Violations()) {
            if (leftovers_ && v.routine == "driver unload")
                continue;
            ADD_FAILURE() << "verifier " << v.rule << " in " << v.routine << " (" << v.object << ") " << v.detail;
        }
        before.ExpectSameNow();
        verifier.ClearViolations();
        return reached;
    }

    // What the platform holds; a run gives all of it back.
    struct Holdings {
        size_t objects, pool, registryBuffers, mdls, kernelObjects, registryKeys;
        static Holdings Now()
        {
            sim::Process::System();
            return {sim::wdf::LiveObjectCount(), sim::PoolOutstanding(), sim::PoolOutstanding("REGP"),
                    sim::LiveMdlCount(),         sim::LiveKernelObjects(), sim::OpenRegistryKeyCount()};
        }
        void ExpectSameNow() const
        {
            Holdings now = Now();
            EXPECT_EQ(now.objects, objects) << "framework objects";
            EXPECT_EQ(now.pool, pool) << "pool allocations";
            EXPECT_EQ(now.mdls, mdls) << "MDLs";
            EXPECT_EQ(now.kernelObjects, kernelObjects) << "kernel object references";
            EXPECT_EQ(now.registryKeys, registryKeys) << "registry keys";
        }
    };
    static inline bool leftovers_ = false;
};

TEST_P(FaultSweep, EveryFailurePointKeepsTheContractAndLeaksNothing)
{
    const EntryPoint& entry = GetParam();
    size_t points = 0;
    auto sweep = [&](const char* op, FaultKind kind) {
        // A bound far above any entry point's calls, in case a run never stops
        // reaching the operation.
        for (uint64_t n = 1; n <= 10000; ++n) {
            bool reached = RunOnce(entry, {op, n, kind});
            if (!reached)
                return;
            ++points;
            if (HasFatalFailure())
                return;
        }
        ADD_FAILURE() << entry.name << ": " << op << " is still reached after 10000 failures";
    };
    for (const char* op : kFallible)
        sweep(op, FaultKind::Fail);
    for (const char* op : kRaising)
        sweep(op, FaultKind::Raise);
    PointsReached()[entry.name] = points;
}

std::string EntryName(const ::testing::TestParamInfo<EntryPoint>& info)
{
    std::string name = info.param.name;
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, FaultSweep, ::testing::ValuesIn(EntryPoints()), EntryName);

}  // namespace
