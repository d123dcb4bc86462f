// Interrupts: framework interrupt objects, level-triggered lines that several
// devices may share, the interrupt thread that calls every sharer's service
// routine while a line is asserted, and the DPC thread. In deterministic mode
// no thread runs: a test delivers interrupts and DPCs itself, step by step.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wdf/framework.h"

namespace sim {

class InterruptLine;

namespace wdf {

class Interrupt : public Object {
public:
    Interrupt(Device* device, const WDF_INTERRUPT_CONFIG& config);

    Device* device() const { return device_; }
    const WDF_INTERRUPT_CONFIG& config() const { return config_; }
    SpinLock& lock() { return lock_; }
    bool connected() const { return connected_.load(); }

    // Connection by the PnP manager at start, disconnection at stop; they call
    // the enable and disable callbacks.
    NTSTATUS Connect(InterruptLine* line, Irql level);
    void Disconnect();

    // One run of the service routine at the device's level with the lock held.
    bool RunServiceRoutine();
    bool QueueDpc();
    // Forgets a DPC queued but not run, so a later queue call queues anew.
    void DropQueuedDpc() { dpcQueued_ = false; }
    // Runs the DPC if one is queued; true when it ran.
    bool RunDpc();
    uint64_t dpcRuns() const { return dpcRuns_.load(); }
    // The most ports one run of the DPC has read.
    uint64_t maxPortReadsPerDpc() const { return maxPortReads_.load(); }

protected:
    void OnDelete() override;

private:
    Device* device_;
    WDF_INTERRUPT_CONFIG config_;
    SpinLock lock_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> dpcQueued_{false};
    std::atomic<uint64_t> dpcRuns_{0};
    std::atomic<uint64_t> maxPortReads_{0};
    InterruptLine* line_ = nullptr;
};

}  // namespace wdf

class InterruptController {
public:
    static InterruptController& Instance();

    // Threads run free, or a test steps interrupts and DPCs itself.
    void SetDeterministic(bool deterministic);
    bool deterministic() const { return deterministic_.load(); }

    InterruptLine* Line(uint32_t vector);

    // Deterministic mode: one pass of the service routines of every asserted
    // line, then the DPCs that were queued. Return how many ran.
    size_t DeliverInterrupts();
    size_t RunDpcs();

    // Stops the threads and forgets every line.
    void Reset();

    void QueueDpc(wdf::Interrupt* interrupt);
    void ForgetInterrupt(wdf::Interrupt* interrupt);

private:
    friend class InterruptLine;
    InterruptController() = default;
    void DpcThread();
    void EnsureDpcThread();

    std::mutex mutex_;
    std::atomic<bool> deterministic_{false};
    std::vector<std::unique_ptr<InterruptLine>> lines_;
    std::vector<wdf::Interrupt*> dpcQueue_;
    std::condition_variable dpcWake_;
    std::mutex dpcRunMutex_;  // held while a DPC runs; forgetting waits for it
    std::thread dpcThread_;
    bool stopping_ = false;
};

class InterruptLine {
public:
    explicit InterruptLine(uint32_t vector) : vector_(vector) {}
    ~InterruptLine();

    uint32_t vector() const { return vector_; }
    // The devices' lines are wired-OR: a line is asserted while any source is.
    void SetSource(const void* source, bool asserted);
    bool asserted() const;
    void Add(wdf::Interrupt* interrupt);
    void Remove(wdf::Interrupt* interrupt);
    // One pass over every connected sharer's service routine.
    size_t ServicePass();
    uint64_t unclaimed() const { return unclaimed_.load(); }

private:
    void Thread();
    void EnsureThread();

    uint32_t vector_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<const void*> sources_;
    std::vector<wdf::Interrupt*> sharers_;
    std::mutex passMutex_;  // held while a pass runs; removal waits for it
    std::thread thread_;
    bool stopping_ = false;
    std::atomic<uint64_t> unclaimed_{0};
};

}  // namespace sim
