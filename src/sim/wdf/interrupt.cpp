#include "wdf/interrupt.h"

#include <algorithm>
#include <chrono>

#include "io/port_space.h"
#include "verifier/verifier.h"

namespace sim {
namespace wdf {

Interrupt::Interrupt(Device* device, const WDF_INTERRUPT_CONFIG& config)
    : Object(Kind::Interrupt, device, nullptr), device_(device), config_(config),
      lock_("interrupt lock", kDispatch + 1, 2)
{
}

NTSTATUS Interrupt::Connect(InterruptLine* line, Irql level)
{
    lock_.SetLevel(level);
    line_ = line;
    if (config_.EvtInterruptEnable) {
        DeviceCallbackScope callbackDevice(device_);
        CallbackFrame frame("EvtInterruptEnable", this);
        NTSTATUS status = config_.EvtInterruptEnable(reinterpret_cast<WDFINTERRUPT>(this),
                                                     reinterpret_cast<WDFDEVICE>(device_));
        if (!NT_SUCCESS(status))
            return status;
    }
    connected_ = true;
    line->Add(this);
    return STATUS_SUCCESS;
}

void Interrupt::Disconnect()
{
    if (!connected_.exchange(false))
        return;
    if (line_)
        line_->Remove(this);
    InterruptController::Instance().ForgetInterrupt(this);
    if (config_.EvtInterruptDisable) {
        DeviceCallbackScope callbackDevice(device_);
        CallbackFrame frame("EvtInterruptDisable", this);
        config_.EvtInterruptDisable(reinterpret_cast<WDFINTERRUPT>(this),
                                    reinterpret_cast<WDFDEVICE>(device_));
    }
}

void Interrupt::OnDelete()
{
    Disconnect();
    InterruptController::Instance().ForgetInterrupt(this);
}

bool Interrupt::RunServiceRoutine()
{
    if (!connected_)
        return false;
    DeviceCallbackScope callbackDevice(device_);
    lock_.Acquire("framework: EvtInterruptIsr");
    bool claimed;
    {
        CallbackFrame frame("EvtInterruptIsr", this);
        claimed = config_.EvtInterruptIsr(reinterpret_cast<WDFINTERRUPT>(this), 0);
    }
    lock_.Release("framework: EvtInterruptIsr");
    return claimed;
}

bool Interrupt::QueueDpc()
{
    if (dpcQueued_.exchange(true))
        return false;
    InterruptController::Instance().QueueDpc(this);
    return true;
}

bool Interrupt::RunDpc()
{
    if (!dpcQueued_.exchange(false))
        return false;
    if (!config_.EvtInterruptDpc)
        return true;
    DeviceCallbackScope callbackDevice(device_);
    IrqlScope dispatch(kDispatch);
    const bool serialised = config_.AutomaticSerialization != FALSE;
    if (serialised)
        device_->syncLock().Acquire("framework: EvtInterruptDpc");
    uint64_t readsBefore = PortReadsOnThisThread();
    {
        CallbackFrame frame("EvtInterruptDpc", this);
        config_.EvtInterruptDpc(reinterpret_cast<WDFINTERRUPT>(this),
                                reinterpret_cast<WDFOBJECT>(device_));
    }
    uint64_t reads = PortReadsOnThisThread() - readsBefore;
    uint64_t seen = maxPortReads_.load();
    while (reads > seen && !maxPortReads_.compare_exchange_weak(seen, reads)) {
    }
    if (serialised)
        device_->syncLock().Release("framework: EvtInterruptDpc");
    dpcRuns_.fetch_add(1);
    return true;
}

}  // namespace wdf

InterruptController& InterruptController::Instance()
{
    static auto* instance = new InterruptController();
    return *instance;
}

void InterruptController::SetDeterministic(bool deterministic) { deterministic_ = deterministic; }

InterruptLine* InterruptController::Line(uint32_t vector)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& line : lines_)
        if (line->vector() == vector)
            return line.get();
    lines_.push_back(std::make_unique<InterruptLine>(vector));
    return lines_.back().get();
}

size_t InterruptController::DeliverInterrupts()
{
    std::vector<InterruptLine*> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& line : lines_)
            lines.push_back(line.get());
    }
    size_t claimed = 0;
    for (InterruptLine* line : lines)
        if (line->asserted())
            claimed += line->ServicePass();
    return claimed;
}

size_t InterruptController::RunDpcs()
{
    // The queue is taken while the run lock is held, so an interrupt that is
    // forgotten meanwhile is either still queued (and dropped) or done.
    std::lock_guard<std::mutex> running(dpcRunMutex_);
    std::vector<wdf::Interrupt*> queued;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued.swap(dpcQueue_);
    }
    size_t ran = 0;
    for (wdf::Interrupt* interrupt : queued)
        ran += interrupt->RunDpc();
    return ran;
}

void InterruptController::QueueDpc(wdf::Interrupt* interrupt)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dpcQueue_.push_back(interrupt);
        if (!deterministic_)
            EnsureDpcThread();
    }
    dpcWake_.notify_one();
}

void InterruptController::ForgetInterrupt(wdf::Interrupt* interrupt)
{
    std::lock_guard<std::mutex> running(dpcRunMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    dpcQueue_.erase(std::remove(dpcQueue_.begin(), dpcQueue_.end(), interrupt), dpcQueue_.end());
    interrupt->DropQueuedDpc();
}

void InterruptController::EnsureDpcThread()
{
    if (!dpcThread_.joinable()) {
        stopping_ = false;
        dpcThread_ = std::thread([this] { DpcThread(); });
    }
}

void InterruptController::DpcThread()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        dpcWake_.wait(lock, [this] { return stopping_ || !dpcQueue_.empty(); });
        if (stopping_)
            return;
        // Taken in the order ForgetInterrupt takes them: the run lock first,
        // so no DPC is handed off past a disconnection.
        lock.unlock();
        std::unique_lock<std::mutex> running(dpcRunMutex_);
        lock.lock();
        std::vector<wdf::Interrupt*> queued;
        queued.swap(dpcQueue_);
        lock.unlock();
        for (wdf::Interrupt* interrupt : queued)
            interrupt->RunDpc();
        running.unlock();
        lock.lock();
    }
}

void InterruptController::Reset()
{
    std::thread dpc;
    std::vector<std::unique_ptr<InterruptLine>> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dpc.swap(dpcThread_);
        lines.swap(lines_);
        dpcQueue_.clear();
    }
    dpcWake_.notify_all();
    if (dpc.joinable())
        dpc.join();
    lines.clear();
    deterministic_ = false;
}

InterruptLine::~InterruptLine()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void InterruptLine::SetSource(const void* source, bool asserted)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(sources_.begin(), sources_.end(), source);
        if (asserted && it == sources_.end())
            sources_.push_back(source);
        else if (!asserted && it != sources_.end())
            sources_.erase(it);
        if (asserted && !InterruptController::Instance().deterministic())
            EnsureThread();
    }
    wake_.notify_all();
}

bool InterruptLine::asserted() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !sources_.empty();
}

void InterruptLine::Add(wdf::Interrupt* interrupt)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sharers_.push_back(interrupt);
        if (!InterruptController::Instance().deterministic())
            EnsureThread();
    }
    wake_.notify_all();
}

void InterruptLine::Remove(wdf::Interrupt* interrupt)
{
    std::lock_guard<std::mutex> pass(passMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    sharers_.erase(std::remove(sharers_.begin(), sharers_.end(), interrupt), sharers_.end());
}

size_t InterruptLine::ServicePass()
{
    std::lock_guard<std::mutex> pass(passMutex_);
    std::vector<wdf::Interrupt*> sharers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sharers = sharers_;
    }
    size_t claimed = 0;
    for (wdf::Interrupt* interrupt : sharers)
        claimed += interrupt->RunServiceRoutine();
    if (!claimed)
        unclaimed_.fetch_add(1);
    return claimed;
}

void InterruptLine::EnsureThread()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { Thread(); });
}

void InterruptLine::Thread()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (!sources_.empty() && !sharers_.empty()); });
        if (stopping_)
            return;
        lock.unlock();
        size_t claimed = ServicePass();
        // A level that nobody clears would spin; back off while it lasts.
        if (!claimed)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        lock.lock();
    }
}

}  // namespace sim

using namespace sim;
using namespace sim::wdf;

NTSTATUS NTAPI WdfInterruptCreate(WDFDEVICE DeviceHandle, PWDF_INTERRUPT_CONFIG Configuration,
                                  PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* InterruptHandle)
{
    CheckIrql("WdfInterruptCreate", kPassive);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfInterruptCreate");
    if (!device || !Configuration || Configuration->Size != sizeof(WDF_INTERRUPT_CONFIG) ||
        !Configuration->EvtInterruptIsr || !CheckAttributes(Attributes, "WdfInterruptCreate"))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfInterruptCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* interrupt = new Interrupt(device, *Configuration);
    device->interrupts().push_back(interrupt);
    *InterruptHandle = reinterpret_cast<WDFINTERRUPT>(interrupt);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI WdfInterruptQueueDpcForIsr(WDFINTERRUPT InterruptHandle)
{
    auto* interrupt = ResolveAs<Interrupt>(InterruptHandle, Kind::Interrupt, "WdfInterruptQueueDpcForIsr");
    return interrupt && interrupt->QueueDpc();
}

VOID NTAPI WdfInterruptAcquireLock(WDFINTERRUPT InterruptHandle)
{
    auto* interrupt = ResolveAs<Interrupt>(InterruptHandle, Kind::Interrupt, "WdfInterruptAcquireLock");
    if (!interrupt)
        return;
    if (!interrupt->connected()) {
        Verifier::Instance().Report(rule::kInterruptLockNotConnected, "WdfInterruptAcquireLock",
                                    DescribeObject(InterruptHandle));
    }
    interrupt->lock().Acquire("WdfInterruptAcquireLock");
}

VOID NTAPI WdfInterruptReleaseLock(WDFINTERRUPT InterruptHandle)
{
    auto* interrupt = ResolveAs<Interrupt>(InterruptHandle, Kind::Interrupt, "WdfInterruptReleaseLock");
    if (interrupt)
        interrupt->lock().Release("WdfInterruptReleaseLock");
}

WDFDEVICE NTAPI WdfInterruptGetDevice(WDFINTERRUPT InterruptHandle)
{
    auto* interrupt = ResolveAs<Interrupt>(InterruptHandle, Kind::Interrupt, "WdfInterruptGetDevice");
    return interrupt ? reinterpret_cast<WDFDEVICE>(interrupt->device()) : nullptr;
}
