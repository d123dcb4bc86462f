// Speed of the simulated platform and the driver on it, each figure against a
// baseline measured in the same run: a request's round trip against the
// handler's own port reads, an edge's latency to the waiting thread against a
// bare condition-variable wake, interrupt throughput with more and more
// registered handles, hardware preparation over registries of growing size,
// and heap and pool allocations per request and per interrupt. The ratios are
// printed after the benchmarks' own table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "kernel/kobject.h"
#include "lifecycle/lifecycle.h"
#include "platform/nt_kernel.h"
#include "public/mdx4208_wire.h"
#include "registry/sim_registry.h"
#include "testbed/testbed.h"
#include "um/um.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"
#include "wdf/interrupt.h"
#include "wdf/work_items.h"

// ---- heap allocations, counted for the whole binary ---------------------------------

namespace {
std::atomic<uint64_t> gHeapAllocations{0};
}

// The sanitizers bring their own operator new; the count is taken in plain
// builds only.
#if MDX_COUNT_HEAP
void* operator new(std::size_t size)
{
    gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kShared = um::kGenericRead | um::kFileWriteData;
constexpr uint32_t kPrivileged = kShared | um::kFileWriteAttributes;
const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

// One started board and a user process attached to the calling thread.
struct Bench {
    explicit Bench(bool deterministic = false)
    {
        sim::Testbed::Options options;
        options.deterministic = deterministic;
        bed = std::make_unique<sim::Testbed>(options);
        process = bed->NewProcess("bench");
        scope = std::make_unique<sim::ProcessScope>(process.get());
    }
    ~Bench()
    {
        scope.reset();
        process.reset();
        bed.reset();
    }
    um::HANDLE Open(uint32_t access)
    {
        um::HANDLE handle = nullptr;
        if (um::CreateFile(bed->devicePath().c_str(), access, &handle) != 0)
            std::abort();
        return handle;
    }
    SHARED_BLOCK* SharedOf(um::HANDLE handle)
    {
        uint32_t address = 0, bytes = 0;
        um::DeviceIoControl(handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address, 4, &bytes);
        return reinterpret_cast<SHARED_BLOCK*>(static_cast<uintptr_t>(address));
    }
    um::HANDLE RegisterEvent(um::HANDLE handle, uint32_t type)
    {
        um::HANDLE event = nullptr;
        um::CreateEvent(false, false, &event);
        auto input = Words({type, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event)), 0});
        uint32_t bytes = 0;
        if (um::DeviceIoControl(handle, IOCTL_REGISTER_EVENTS, input.data(), 16, nullptr, 0, &bytes) != 0)
            std::abort();
        return event;
    }
    void Arm(um::HANDLE privileged, uint32_t type)
    {
        auto input = Words({type, 0, 4});
        uint32_t bytes = 0;
        if (um::DeviceIoControl(privileged, IOCTL_ENABLE_DI_INTERRUPT, input.data(), 12, nullptr, 0, &bytes) != 0)
            std::abort();
    }

    std::unique_ptr<sim::Testbed> bed;
    sim::ProcessPtr process;
    std::unique_ptr<sim::ProcessScope> scope;
};

// ---- a request's round trip ------------------------------------------------------------

struct RequestShape {
    uint32_t code;
    uint32_t inputWords;  // 0: none; 1: the port address; 2: start and count of the input ports
    uint32_t outputLength;
    unsigned portReads;   // what the handler itself reads from the board
};
const RequestShape kShapes[] = {
    {IOCTL_READ_DI_PORTS, 2, 4, 4},
    {IOCTL_GET_SHARED_ADDRESS, 0, 4, 0},
    {IOCTL_READ_PORT, 1, 1, 1},
};

void BM_RequestRoundTrip(benchmark::State& state)
{
    const RequestShape& shape = kShapes[state.range(0)];
    Bench b;
    um::HANDLE handle = b.Open(kShared);
    std::vector<uint8_t> input = shape.inputWords == 2   ? Words({0, 4})
                                 : shape.inputWords == 1 ? Words({b.bed->portBase()})
                                                         : std::vector<uint8_t>{};
    uint8_t output[8];
    uint32_t bytes = 0;
    uint64_t n = 0;
    for (auto _ : state) {
        um::DeviceIoControl(handle, shape.code, input.empty() ? nullptr : input.data(),
                            static_cast<uint32_t>(input.size()), output, shape.outputLength, &bytes);
        if (++n % 1024 == 0)
            b.bed->board().ClearPortLog();
    }
    benchmark::DoNotOptimize(output);
}
BENCHMARK(BM_RequestRoundTrip)->ArgName("request")->Arg(0)->Arg(1)->Arg(2);

// The handler's own work: its port reads, made directly inside the device's
// callback scope, with no request around them.
void BM_HandlerWork(benchmark::State& state)
{
    const RequestShape& shape = kShapes[state.range(0)];
    Bench b;
    const uint32_t base = b.bed->portBase();
    sim::wdf::DeviceCallbackScope scope(reinterpret_cast<sim::wdf::Device*>(b.bed->device()));
    uint64_t n = 0;
    for (auto _ : state) {
        for (unsigned k = 0; k < shape.portReads; ++k)
            benchmark::DoNotOptimize(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(base + k))));
        benchmark::ClobberMemory();
        if (++n % 1024 == 0)
            b.bed->board().ClearPortLog();
    }
}
BENCHMARK(BM_HandlerWork)->ArgName("request")->Arg(0)->Arg(1)->Arg(2);

// ---- interrupt latency -----------------------------------------------------------------

void Percentiles(benchmark::State& state, std::vector<double>& samples)
{
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// From an edge on the board to the return of the user thread's wait on the
// channel's event, through the service routine, the DPC and the event.
void BM_EdgeToWake(benchmark::State& state)
{
    Bench b;
    um::HANDLE privileged = b.Open(kPrivileged);
    SHARED_BLOCK* shared = b.SharedOf(privileged);
    um::HANDLE event = b.RegisterEvent(privileged, EVENT_DI_INT0);
    b.Arm(privileged, EVENT_DI_INT0);

    std::atomic<int64_t> woke{0};
    std::atomic<bool> stop{false};
    sim::Process* process = b.process.get();
    std::thread waiter([&] {
        sim::ProcessScope scope(process);
        while (um::WaitForSingleObject(event, um::kInfinite) == um::kWaitObject0 && !stop.load()) {
            std::atomic_ref<uint32_t>(shared->IntPending[0]).store(0);
            woke.store(Clock::now().time_since_epoch().count());
        }
    });
    std::vector<double> samples;
    auto& board = b.bed->board();
    for (auto _ : state) {
        woke.store(0);
        const auto start = Clock::now();
        board.Pulse(0);
        while (woke.load() == 0)
            std::this_thread::yield();
        const double seconds = std::chrono::duration<double>(Clock::duration(woke.load()) - start.time_since_epoch()).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        if (samples.size() % 1024 == 0)
            board.ClearPortLog();
    }
    stop = true;
    um::SetEvent(event);
    waiter.join();
    Percentiles(state, samples);
}
BENCHMARK(BM_EdgeToWake)->UseManualTime();

// The baseline: one thread wakes another through a condition variable.
void BM_ConditionVariableWake(benchmark::State& state)
{
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false, stop = false;
    std::atomic<int64_t> woke{0};
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return signalled || stop; });
            if (stop)
                return;
            signalled = false;
            woke.store(Clock::now().time_since_epoch().count());
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        woke.store(0);
        const auto start = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            signalled = true;
        }
        cv.notify_one();
        while (woke.load() == 0)
            std::this_thread::yield();
        const double seconds = std::chrono::duration<double>(Clock::duration(woke.load()) - start.time_since_epoch()).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cv.notify_one();
    waiter.join();
    Percentiles(state, samples);
}
BENCHMARK(BM_ConditionVariableWake)->UseManualTime();

// ---- interrupt throughput ----------------------------------------------------------------

// Edges delivered end to end in deterministic mode: service routine, DPC,
// every registered handle's event set, the flag taken down again. With 0
// handles registered it is the baseline.
void BM_InterruptThroughput(benchmark::State& state)
{
    const int handles = static_cast<int>(state.range(0));
    Bench b(true);
    um::HANDLE privileged = b.Open(kPrivileged);
    SHARED_BLOCK* shared = b.SharedOf(privileged);
    b.Arm(privileged, EVENT_DI_INT0);
    for (int i = 0; i < handles; ++i)
        b.RegisterEvent(b.Open(kShared), EVENT_DI_INT0);
    auto& board = b.bed->board();
    auto& controller = sim::InterruptController::Instance();
    uint64_t n = 0;
    for (auto _ : state) {
        board.Pulse(0);
        controller.DeliverInterrupts();
        controller.RunDpcs();
        shared->IntPending[0] = 0;
        if (++n % 1024 == 0)
            board.ClearPortLog();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_InterruptThroughput)->ArgName("handles")->Arg(0)->Arg(1)->Arg(8)->Arg(64);

// ---- hardware preparation -------------------------------------------------------------------

// A stop and a restart of a board known by its BoardID, with `others` device
// keys of other boards in the registry besides its own (1023 fills every
// board number).
void BM_StopStart(benchmark::State& state)
{
    const int others = static_cast<int>(state.range(0));
    sim::Registry::Instance().UseMemoryOnly();
    sim::InterruptController::Instance().SetDeterministic(true);
    sim::WorkQueue::Instance().SetDeterministic(true);
    auto& registry = sim::Registry::Instance();
    char name[32];
    for (int i = 0; i < others; ++i) {
        std::snprintf(name, sizeof name, "Device%03d", i);
        const std::string key = kServiceKey + "\\" + name;
        registry.SetValue(key, "ProductID", sim::RegValue::Dword(MDX_PRODUCT_ID));
        registry.SetValue(key, "BoardID", sim::RegValue::Dword(1 + i % 4));  // never the board's 5
        registry.SetValue(key, "BusNumber", sim::RegValue::Dword(9));
        registry.SetValue(key, "SlotNumber", sim::RegValue::Dword(i % 32));
    }
    {
        sim::Machine machine;
        sim::BoardSlot slot;
        slot.boardIdSwitch = 5;
        machine.AddBoard(slot);
        auto statuses = machine.Boot(DriverEntry);
        if (statuses.size() != 1 || statuses[0] != STATUS_SUCCESS)
            std::abort();
        for (auto _ : state) {
            machine.Stop(0);
            if (machine.Start(0) != STATUS_SUCCESS)
                std::abort();
        }
        state.counters["device_keys"] = others + 1;
    }
    sim::WorkQueue::Instance().Reset();
}
BENCHMARK(BM_StopStart)->ArgName("other_keys")->Arg(0)->Arg(32)->Arg(1023)->Unit(benchmark::kMicrosecond);

// ---- allocations in steady state --------------------------------------------------------------

// Heap allocations of the whole simulated path (C++ new) and pool calls of
// the driver (ExAllocatePoolWithTag, counted by the verifier's fault counter
// armed at a call that never comes), per operation.
struct AllocationCount {
    AllocationCount()
    {
        sim::Verifier::Instance().ArmFault("ExAllocatePoolWithTag", UINT64_MAX);
        heap = gHeapAllocations.load();
    }
    void Report(benchmark::State& state)
    {
        const double ops = static_cast<double>(state.iterations());
        if (MDX_COUNT_HEAP)
            state.counters["heap_allocs_per_op"] = static_cast<double>(gHeapAllocations.load() - heap) / ops;
        state.counters["pool_allocs_per_op"] =
            static_cast<double>(sim::Verifier::Instance().CallsSeen("ExAllocatePoolWithTag")) / ops;
        sim::Verifier::Instance().DisarmFaults();
    }
    uint64_t heap;
};

void BM_AllocationsPerRequest(benchmark::State& state)
{
    Bench b;
    um::HANDLE handle = b.Open(kShared);
    auto input = Words({0, 4});
    uint8_t output[4];
    uint32_t bytes = 0;
    // Warm up: the port log and the handle tables reach their size.
    for (int i = 0; i < 2048; ++i)
        um::DeviceIoControl(handle, IOCTL_READ_DI_PORTS, input.data(), 8, output, 4, &bytes);
    b.bed->board().ClearPortLog();
    AllocationCount count;
    uint64_t n = 0;
    for (auto _ : state) {
        um::DeviceIoControl(handle, IOCTL_READ_DI_PORTS, input.data(), 8, output, 4, &bytes);
        if (++n % 1024 == 0)
            b.bed->board().ClearPortLog();
    }
    count.Report(state);
}
BENCHMARK(BM_AllocationsPerRequest);

void BM_AllocationsPerInterrupt(benchmark::State& state)
{
    Bench b(true);
    um::HANDLE privileged = b.Open(kPrivileged);
    SHARED_BLOCK* shared = b.SharedOf(privileged);
    b.Arm(privileged, EVENT_DI_INT0);
    b.RegisterEvent(privileged, EVENT_DI_INT0);
    auto& board = b.bed->board();
    auto& controller = sim::InterruptController::Instance();
    auto once = [&] {
        board.Pulse(0);
        controller.DeliverInterrupts();
        controller.RunDpcs();
        shared->IntPending[0] = 0;
    };
    for (int i = 0; i < 2048; ++i)
        once();
    board.ClearPortLog();
    AllocationCount count;
    uint64_t n = 0;
    for (auto _ : state) {
        once();
        if (++n % 1024 == 0)
            board.ClearPortLog();
    }
    count.Report(state);
}
BENCHMARK(BM_AllocationsPerInterrupt);

// ---- ratios ---------------------------------------------------------------------------------------

// Keeps every run's time per iteration and counters, to print the ratios of
// each figure to its baseline once all have run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that logs and files stay plain text.
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration)
                continue;
            Result& r = results_[run.benchmark_name()];
            r.time = run.GetAdjustedRealTime();
            for (const auto& [name, counter] : run.counters)
                r.counters[name] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        std::printf("\nRatios (each figure over its baseline, same run):\n");
        const char* requests[] = {"READ_DI_PORTS(4)", "GET_SHARED_ADDRESS", "READ_PORT(1)"};
        for (int i = 0; i < 3; ++i) {
            std::string arg = "/request:" + std::to_string(i);
            const double trip = Time("BM_RequestRoundTrip" + arg), work = Time("BM_HandlerWork" + arg);
            Ratio(std::string("round trip ") + requests[i] + " / handler's port reads", trip, work);
            if (trip > 0)
                std::printf("  %-62s %10.0f ns\n", (std::string("  I/O path around ") + requests[i]).c_str(),
                            trip - work);
        }
        Ratio("edge-to-wake median / condition-variable wake median",
              Counter("BM_EdgeToWake/manual_time", "median_us"),
              Counter("BM_ConditionVariableWake/manual_time", "median_us"));
        Ratio("edge-to-wake p99 / condition-variable wake p99", Counter("BM_EdgeToWake/manual_time", "p99_us"),
              Counter("BM_ConditionVariableWake/manual_time", "p99_us"));
        for (int handles : {1, 8, 64})
            Ratio("interrupt with " + std::to_string(handles) + " registered handles / with none",
                  Time("BM_InterruptThroughput/handles:" + std::to_string(handles)),
                  Time("BM_InterruptThroughput/handles:0"));
        for (int others : {32, 1023})
            Ratio("stop+start with " + std::to_string(others + 1) + " device keys / with 1",
                  Time("BM_StopStart/other_keys:" + std::to_string(others)), Time("BM_StopStart/other_keys:0"));
    }

private:
    struct Result {
        double time = 0;
        std::map<std::string, double> counters;
    };
    double Time(const std::string& name) const
    {
        auto it = results_.find(name);
        return it == results_.end() ? 0 : it->second.time;
    }
    double Counter(const std::string& name, const std::string& counter) const
    {
        auto it = results_.find(name);
        if (it == results_.end())
            return 0;
        auto c = it->second.counters.find(counter);
        return c == it->second.counters.end() ? 0 : c->second;
    }
    static void Ratio(const std::string& what, double figure, double baseline)
    {
        if (figure > 0 && baseline > 0)
            std::printf("  %-62s %10.2f\n", what.c_str(), figure / baseline);
    }
    std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
