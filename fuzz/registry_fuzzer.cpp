// Fuzzes what the driver reads from the registry: the input builds device
// keys under the service key with any names, value types, lengths and
// contents, and a MapEntry key with values of any content; then a board is
// started over that registry (a start may fail), its deferred requests read
// and write values of fuzzed names and read its location, and it is stopped
// and started again. The verifier and the sanitizers are the oracle.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/device_context.h"
#include "fuzz_support.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "registry/sim_registry.h"
#include "wdf/interrupt.h"

namespace {

// MDX_FUZZ_TRACE=1 tells what an input built and what the driver answered,
// to read a reproducer.
const bool kTrace = std::getenv("MDX_FUZZ_TRACE") != nullptr;

const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";
const char* const kValueNames[] = {"ProductID",  "BoardID",       "BusNumber",      "SlotNumber", "InitOnLoad",
                                   "DiintTrigEdge", "DiInversePorts", "DeviceDesc", "DriverName", ""};

std::string KeyName(FuzzedDataProvider& data)
{
    char text[40];
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        std::snprintf(text, sizeof text, "Device%03u", data.ConsumeIntegralInRange<unsigned>(0, 1100));
        return text;
    case 1:
        std::snprintf(text, sizeof text, "Device%u", data.ConsumeIntegral<uint32_t>());
        return text;
    case 2: return "MapEntry";
    default: {
        std::string name = data.ConsumeRandomLengthString(24);
        std::erase(name, '\\');
        return name.empty() ? "Device" : name;
    }
    }
}

std::string ValueName(FuzzedDataProvider& data)
{
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        return data.ConsumeRandomLengthString(20);
    return kValueNames[data.ConsumeIntegralInRange<size_t>(0, std::size(kValueNames) - 1)];
}

sim::RegValue Value(FuzzedDataProvider& data)
{
    sim::RegValue value;
    value.type = data.ConsumeIntegralInRange<int>(0, 7) == 0 ? data.ConsumeIntegral<uint32_t>()
                                                             : data.ConsumeIntegralInRange<uint32_t>(0, 11);
    value.data = data.ConsumeBytes<uint8_t>(data.ConsumeIntegralInRange<size_t>(0, 64));
    return value;
}

// A map entry names a device path; fuzzed ones start like a real one often.
sim::RegValue MapValue(FuzzedDataProvider& data)
{
    if (data.ConsumeBool())
        return Value(data);
    std::string text = "\\\\.\\" + data.ConsumeRandomLengthString(300);
    sim::RegValue value = sim::RegValue::String(text);
    if (data.ConsumeBool() && value.data.size() >= 2)
        value.data.resize(value.data.size() - 2);  // stored without its terminator
    return value;
}

void BuildRegistry(FuzzedDataProvider& data)
{
    auto& registry = sim::Registry::Instance();
    const size_t keys = data.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t k = 0; k < keys; ++k) {
        const std::string name = KeyName(data);
        const bool map = name == "MapEntry";
        const std::string path = kServiceKey + "\\" + name;
        if (kTrace)
            std::fprintf(stderr, "key %s\n", name.c_str());
        try {
            registry.CreateKey(path);
            const size_t values = data.ConsumeIntegralInRange<size_t>(0, 10);
            for (size_t v = 0; v < values; ++v) {
                std::string valueName = map ? std::to_string(data.ConsumeIntegralInRange<unsigned>(0, 1030))
                                            : ValueName(data);
                if (map && data.ConsumeIntegralInRange<int>(0, 7) == 0)
                    valueName = data.ConsumeRandomLengthString(12);
                sim::RegValue value = map ? MapValue(data) : Value(data);
                if (kTrace)
                    std::fprintf(stderr, "  value \"%s\" type %u, %zu bytes\n", valueName.c_str(), value.type,
                                 value.data.size());
                registry.SetValue(path, valueName, value);
            }
        } catch (const sim::RegistryError&) {
            // A name the registry refuses is simply not there.
        }
    }
}

std::vector<uint8_t> Wide(const std::string& text, size_t bytes)
{
    std::vector<uint8_t> out(bytes, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < bytes; ++i)
        out[2 * i] = static_cast<uint8_t>(text[i]);
    return out;
}

// The deferred requests of one open handle: value reads and writes with
// fuzzed names and lengths, and the location.
fuzz::IoResult Send(sim::Process* process, um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input,
                    uint32_t outputLength)
{
    fuzz::IoResult result = fuzz::Ioctl(process, handle, code, input, outputLength);
    if (kTrace)
        std::fprintf(stderr, "request 0x%08X in %zu out %u -> 0x%08X, %u bytes\n", code, input.size(), outputLength,
                     static_cast<unsigned>(result.status), result.bytes);
    return result;
}

void SendDeferred(FuzzedDataProvider& data, sim::Process* process, um::HANDLE handle)
{
    const size_t requests = data.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t r = 0; r < requests && data.remaining_bytes() > 0; ++r) {
        switch (data.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {
            std::vector<uint8_t> input = Wide(ValueName(data), data.ConsumeIntegralInRange<size_t>(0, 80));
            if (data.ConsumeBool() && !input.empty())
                input.back() = data.ConsumeIntegral<uint8_t>();
            Send(process, handle, IOCTL_READ_DEVICE_VALUE, input, data.ConsumeIntegralInRange<uint32_t>(0, 80));
            break;
        }
        case 1: {
            std::vector<uint8_t> input(data.ConsumeIntegralInRange<size_t>(140, 220), 0);
            std::vector<uint8_t> name = Wide(ValueName(data), 128);
            std::memcpy(input.data() + 4, name.data(), name.size());
            const uint32_t type = data.ConsumeIntegralInRange<uint32_t>(0, 11);
            const uint32_t length = data.ConsumeBool() ? static_cast<uint32_t>(input.size() - 140)
                                                       : data.ConsumeIntegral<uint32_t>();
            std::memcpy(input.data() + 132, &type, 4);
            std::memcpy(input.data() + 136, &length, 4);
            std::vector<uint8_t> payload = data.ConsumeBytes<uint8_t>(input.size() - 140);
            std::copy(payload.begin(), payload.end(), input.begin() + 140);
            Send(process, handle, IOCTL_WRITE_DEVICE_VALUE, input, 0);
            break;
        }
        default:
            Send(process, handle, IOCTL_GET_LOCATION, {}, data.ConsumeIntegralInRange<uint32_t>(0, 300));
            break;
        }
    }
}

// A started board has a number in the range the registry's keys can name.
void CheckStarted(sim::Machine& machine)
{
    const SHARED_BLOCK* shared = GetDeviceExtension(machine.Device(0))->Shared;
    if (shared->BoardNumber > 1023) {
        std::fprintf(stderr, "*** a started board has the number %u\n", shared->BoardNumber);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    static bool installed = (fuzz::StopOnViolation(), true);
    (void)installed;
    FuzzedDataProvider data(bytes, size);

    sim::Registry::Instance().UseMemoryOnly();
    sim::InterruptController::Instance().SetDeterministic(true);
    sim::WorkQueue::Instance().SetDeterministic(true);
    BuildRegistry(data);
    {
        sim::Machine machine;
        sim::BoardSlot slot;
        slot.boardIdSwitch = data.ConsumeIntegralInRange<uint8_t>(0, 15);
        slot.location = {data.ConsumeIntegralInRange<uint32_t>(0, 3), data.ConsumeIntegralInRange<uint32_t>(0, 31), 0};
        machine.AddBoard(slot);
        sim::ProcessPtr process = machine.NewProcess("fuzz");
        if (machine.LoadDriver(DriverEntry) == STATUS_SUCCESS && machine.AddDevice(0) == STATUS_SUCCESS) {
            for (int start = 0; start < 2; ++start) {
                const NTSTATUS started = machine.Start(0);
                if (kTrace)
                    std::fprintf(stderr, "start %d -> 0x%08X\n", start, static_cast<unsigned>(started));
                if (started != STATUS_SUCCESS)
                    break;
                CheckStarted(machine);
                sim::ProcessScope scope(process.get());
                um::HANDLE handle = nullptr;
                if (um::CreateFile(machine.InterfacePath(0).c_str(), um::kGenericRead | um::kFileWriteData,
                                   &handle) == 0) {
                    SendDeferred(data, process.get(), handle);
                    um::CloseHandle(handle);
                }
                machine.Stop(0);
            }
        }
        process.reset();
        sim::WorkQueue::Instance().RunPending();
    }
    sim::WorkQueue::Instance().Reset();
    return 0;
}
