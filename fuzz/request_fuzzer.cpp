// Fuzzes a running board with sequences of what user mode and the hardware
// can do: opens and closes from several processes, control requests of any
// code, length and content, stores into each process's mapping of the shared
// block, edges on the interrupt pins, input changes and process exits. The
// machine is deterministic: the fuzzer delivers interrupts, DPCs and work
// items itself. The verifier and the sanitizers are the oracle.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "testbed/testbed.h"
#include "wdf/interrupt.h"

namespace {

constexpr uint32_t kCodes[] = {
    IOCTL_GET_SHARED_ADDRESS, IOCTL_READ_DEVICE_VALUE,  IOCTL_WRITE_DEVICE_VALUE,  IOCTL_READ_PORT,
    IOCTL_WRITE_PORT,         IOCTL_REGISTER_EVENTS,    IOCTL_UNREGISTER_EVENTS,   IOCTL_QUERY_ZERO_STATUS,
    IOCTL_PRIVILEGED_ACCEPT,  IOCTL_SIGNAL_GENERAL_EVENT, IOCTL_GET_LOCATION,      IOCTL_SET_TRIGGER_EDGES,
    IOCTL_READ_DI_PORTS,      IOCTL_ENABLE_DI_INTERRUPT, IOCTL_DISABLE_DI_INTERRUPT,
};
constexpr uint32_t kEventTypes[] = {EVENT_GENERAL, EVENT_DI_INT0, EVENT_DI_INT1, EVENT_DI_INT2, EVENT_DI_INT3};
const char* const kValueNames[] = {"InitOnLoad", "DiintTrigEdge", "DiInversePorts", "BoardID", "DeviceDesc", ""};
constexpr size_t kProcesses = 3;
constexpr size_t kMaxOperations = 96;

struct OpenHandle {
    um::HANDLE handle;
    uint8_t* shared;  // this process's mapping, or null
};

struct UserProcess {
    sim::ProcessPtr process;
    std::vector<OpenHandle> handles;
    std::vector<um::HANDLE> events;
};

enum Operation : uint8_t {
    kOpen, kClose, kRequest, kStore, kPin, kPulse, kInputs, kCreateEvent, kExit, kService, kWork, kOperationCount
};

class Session {
public:
    explicit Session(FuzzedDataProvider& data) : data_(data)
    {
        sim::Testbed::Options options;
        options.deterministic = true;
        options.boardIdSwitch = data_.ConsumeIntegralInRange<uint8_t>(0, 15);
        bed_ = std::make_unique<sim::Testbed>(options);
        for (auto& p : processes_)
            p.process = bed_->NewProcess("fuzz");
    }

    ~Session()
    {
        for (auto& p : processes_)
            p.process.reset();
        Service();
        bed_.reset();
    }

    void Run()
    {
        // MDX_FUZZ_TRACE=1 names each operation, to read a reproducer.
        static const bool trace = std::getenv("MDX_FUZZ_TRACE") != nullptr;
        static const char* const names[] = {"open",  "close", "request", "store", "pin",    "pulse",
                                            "inputs", "event", "exit",    "service", "work"};
        static_assert(std::size(names) == kOperationCount, "a name for every operation");
        for (size_t n = 0; n < kMaxOperations && data_.remaining_bytes() > 0; ++n) {
            const uint8_t operation = data_.ConsumeIntegralInRange<uint8_t>(0, kOperationCount - 1);
            if (trace)
                std::fprintf(stderr, "op %zu: %s\n", n, names[operation]);
            switch (operation) {
            case kOpen: Open(); break;
            case kClose: Close(); break;
            case kRequest: Request(); break;
            case kStore: Store(); break;
            case kPin: bed_->board().SetPin(Channel(), data_.ConsumeBool()); break;
            case kPulse: bed_->board().Pulse(Channel()); break;
            case kInputs: bed_->board().SetInputs(data_.ConsumeIntegral<uint32_t>()); break;
            case kCreateEvent: CreateEvent(); break;
            case kExit: Exit(); break;
            case kService: Service(); break;
            case kWork: sim::WorkQueue::Instance().RunPending(); break;
            }
            bed_->board().ClearPortLog();
        }
    }

private:
    unsigned Channel() { return data_.ConsumeIntegralInRange<unsigned>(0, 3); }
    UserProcess& PickProcess() { return processes_[data_.ConsumeIntegralInRange<size_t>(0, kProcesses - 1)]; }

    void Service()
    {
        sim::InterruptController::Instance().DeliverInterrupts();
        sim::InterruptController::Instance().RunDpcs();
        sim::WorkQueue::Instance().RunPending();
    }

    void Open()
    {
        UserProcess& p = PickProcess();
        uint32_t access = um::kGenericRead | um::kFileWriteData;
        if (data_.ConsumeBool())
            access |= um::kFileWriteAttributes;
        if (data_.ConsumeIntegralInRange<int>(0, 7) == 0)
            access = data_.ConsumeIntegral<uint32_t>();
        sim::ProcessScope scope(p.process.get());
        um::HANDLE handle = nullptr;
        if (um::CreateFile(bed_->devicePath().c_str(), access, &handle) != 0)
            return;
        uint32_t address = 0, bytes = 0;
        um::DeviceIoControl(handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address, sizeof address, &bytes);
        p.handles.push_back({handle, reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address))});
    }

    OpenHandle* PickHandle(UserProcess& p)
    {
        if (p.handles.empty())
            return nullptr;
        return &p.handles[data_.ConsumeIntegralInRange<size_t>(0, p.handles.size() - 1)];
    }

    void Close()
    {
        UserProcess& p = PickProcess();
        OpenHandle* h = PickHandle(p);
        if (!h)
            return;
        sim::ProcessScope scope(p.process.get());
        um::CloseHandle(h->handle);
        p.handles.erase(p.handles.begin() + (h - p.handles.data()));
    }

    void CreateEvent()
    {
        UserProcess& p = PickProcess();
        sim::ProcessScope scope(p.process.get());
        um::HANDLE event = nullptr;
        if (um::CreateEvent(data_.ConsumeBool(), false, &event) == 0)
            p.events.push_back(event);
    }

    void Exit()
    {
        UserProcess& p = PickProcess();
        p.process.reset();
        p.handles.clear();
        p.events.clear();
        p.process = bed_->NewProcess("fuzz");
    }

    // Stores of any width and value anywhere in the block, through one of the
    // process's own mappings.
    void Store()
    {
        UserProcess& p = PickProcess();
        OpenHandle* h = PickHandle(p);
        if (!h || !h->shared)
            return;
        const uint32_t offset = data_.ConsumeIntegralInRange<uint32_t>(0, MDX_SHARED_SIZE - 1);
        const uint32_t width = std::min<uint32_t>(1u << data_.ConsumeIntegralInRange(0, 2), MDX_SHARED_SIZE - offset);
        const uint32_t value = data_.ConsumeIntegral<uint32_t>();
        for (uint32_t i = 0; i < width; ++i)
            reinterpret_cast<volatile uint8_t*>(h->shared)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }

    uint32_t Code()
    {
        if (data_.ConsumeIntegralInRange<int>(0, 15) == 0)
            return data_.ConsumeIntegral<uint32_t>();
        return kCodes[data_.ConsumeIntegralInRange<size_t>(0, std::size(kCodes) - 1)];
    }

    void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
    {
        if (bytes.size() >= at + 4)
            std::memcpy(bytes.data() + at, &value, 4);
    }

    // Raw bytes, often shaped like the code's record so that requests get
    // past their first checks.
    std::vector<uint8_t> Input(UserProcess& p, uint32_t code)
    {
        std::vector<uint8_t> input = data_.ConsumeBytes<uint8_t>(data_.ConsumeIntegralInRange<size_t>(0, 300));
        if (!data_.ConsumeBool())
            return input;
        switch (code) {
        case IOCTL_READ_PORT:
        case IOCTL_WRITE_PORT:
            Put32(input, 0, bed_->portBase() + data_.ConsumeIntegralInRange<uint32_t>(0, 40) - 4);
            break;
        case IOCTL_REGISTER_EVENTS:
            for (size_t at = 0; at + 16 <= input.size(); at += 16) {
                Put32(input, at, kEventTypes[data_.ConsumeIntegralInRange<size_t>(0, 4)]);
                if (!p.events.empty()) {
                    um::HANDLE event = p.events[data_.ConsumeIntegralInRange<size_t>(0, p.events.size() - 1)];
                    Put32(input, at + 8, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event)));
                }
            }
            break;
        case IOCTL_ENABLE_DI_INTERRUPT:
        case IOCTL_DISABLE_DI_INTERRUPT:
            Put32(input, 0, kEventTypes[data_.ConsumeIntegralInRange<size_t>(0, 4)]);
            break;
        case IOCTL_READ_DEVICE_VALUE:
        case IOCTL_WRITE_DEVICE_VALUE: {
            const char* name = kValueNames[data_.ConsumeIntegralInRange<size_t>(0, std::size(kValueNames) - 1)];
            const size_t at = code == IOCTL_WRITE_DEVICE_VALUE ? 4 : 0;
            for (size_t i = 0; name[i] && at + 2 * i + 1 < input.size(); ++i) {
                input[at + 2 * i] = static_cast<uint8_t>(name[i]);
                input[at + 2 * i + 1] = 0;
            }
            break;
        }
        default: break;
        }
        return input;
    }

    void Request()
    {
        UserProcess& p = PickProcess();
        OpenHandle* h = PickHandle(p);
        if (!h)
            return;
        const uint32_t code = Code();
        std::vector<uint8_t> input = Input(p, code);
        const uint32_t outputLength = data_.ConsumeIntegralInRange<uint32_t>(0, 300);
        fuzz::IoResult result = fuzz::Ioctl(p.process.get(), h->handle, code, input, outputLength);
        if (std::getenv("MDX_FUZZ_TRACE"))
            std::fprintf(stderr, "  request 0x%08X in %zu out %u -> 0x%08X, %u bytes\n", code, input.size(),
                         outputLength, static_cast<unsigned>(result.status), result.bytes);
    }

    FuzzedDataProvider& data_;
    std::unique_ptr<sim::Testbed> bed_;
    std::array<UserProcess, kProcesses> processes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    static bool installed = (fuzz::StopOnViolation(), true);
    (void)installed;
    FuzzedDataProvider data(bytes, size);
    Session session(data);
    session.Run();
    return 0;
}
