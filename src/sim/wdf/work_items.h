// Framework work items, run at passive level by a worker pool in the system
// process, or stepped by a test in deterministic mode.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "wdf/objects.h"

namespace sim {

class WorkQueue {
public:
    static WorkQueue& Instance();
    void SetDeterministic(bool deterministic);
    // Deterministic mode: runs every queued work item; how many ran.
    size_t RunPending();
    // Waits until nothing is queued or running.
    void Drain();
    // Stops the workers; queued items are dropped.
    void Reset();

    void Enqueue(class WorkItem* item);
    // Takes an item out of the queue, or waits while it runs.
    void Forget(class WorkItem* item);

private:
    WorkQueue() = default;
    void Worker();
    void RunOne(class WorkItem* item, std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<class WorkItem*> queue_;
    std::vector<class WorkItem*> running_;
    std::vector<std::thread> workers_;
    bool deterministic_ = false;
    bool stopping_ = false;
};

class WorkItem : public wdf::Object {
public:
    WorkItem(wdf::Object* parent, const WDF_WORKITEM_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    const WDF_WORKITEM_CONFIG& config() const { return config_; }
    bool queued = false;
    bool ran = false;
    std::thread::id runner;  // the thread running it, while it runs

protected:
    void OnDelete() override;

private:
    WDF_WORKITEM_CONFIG config_;
};

}  // namespace sim
