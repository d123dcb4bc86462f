#include "wdf/work_items.h"

#include <algorithm>

#include "kernel/irql.h"
#include "kernel/kobject.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"

namespace sim {

WorkQueue& WorkQueue::Instance()
{
    static auto* instance = new WorkQueue();
    return *instance;
}

void WorkQueue::SetDeterministic(bool deterministic)
{
    std::lock_guard<std::mutex> lock(mutex_);
    deterministic_ = deterministic;
}

void WorkQueue::Enqueue(WorkItem* item)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (item->queued)
        return;
    item->queued = true;
    queue_.push_back(item);
    if (!deterministic_ && workers_.empty()) {
        stopping_ = false;
        for (int i = 0; i < 2; ++i)
            workers_.emplace_back([this] { Worker(); });
    }
    wake_.notify_one();
}

void WorkQueue::RunOne(WorkItem* item, std::unique_lock<std::mutex>& lock)
{
    item->queued = false;
    item->runner = std::this_thread::get_id();
    running_.push_back(item);
    lock.unlock();
    {
        ProcessScope system(Process::System());
        IrqlScope passive(kPassive);
        auto* device = dynamic_cast<wdf::Device*>(item->parent());
        wdf::DeviceCallbackScope scope(device);
        CallbackFrame frame("EvtWorkItemFunc", item);
        item->ran = true;
        item->config().EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(item));
    }
    lock.lock();
    running_.erase(std::find(running_.begin(), running_.end(), item));
    idle_.notify_all();
}

size_t WorkQueue::RunPending()
{
    std::unique_lock<std::mutex> lock(mutex_);
    size_t ran = 0;
    while (!queue_.empty()) {
        WorkItem* item = queue_.front();
        queue_.pop_front();
        RunOne(item, lock);
        ++ran;
    }
    return ran;
}

void WorkQueue::Worker()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (!deterministic_ && !queue_.empty()); });
        if (stopping_)
            return;
        WorkItem* item = queue_.front();
        queue_.pop_front();
        RunOne(item, lock);
    }
}

void WorkQueue::Drain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() || deterministic_) && running_.empty(); });
}

void WorkQueue::Forget(WorkItem* item)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // Waits for a run on another thread; an item deleted by its own routine
    // is running on this very thread.
    idle_.wait(lock, [&] {
        bool running = std::find(running_.begin(), running_.end(), item) != running_.end();
        return !running || item->runner == std::this_thread::get_id();
    });
    queue_.erase(std::remove(queue_.begin(), queue_.end(), item), queue_.end());
}

void WorkQueue::Reset()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
        queue_.clear();
    }
    wake_.notify_all();
    for (auto& worker : workers)
        worker.join();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    deterministic_ = false;
}

WorkItem::WorkItem(wdf::Object* parent, const WDF_WORKITEM_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(wdf::Kind::WorkItem, parent, attributes), config_(config)
{
}

void WorkItem::OnDelete()
{
    // Deleted with its device after it ran: its routine should have deleted it.
    if (ran && parent() && parent()->deleted())
        Verifier::Instance().Report(rule::kWorkItemLeak, "device deletion", DescribeObject(this),
                                    "a work item that ran was not deleted");
    WorkQueue::Instance().Forget(this);
}

}  // namespace sim

using namespace sim;

NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFWORKITEM* WorkItemHandle)
{
    CheckIrql("WdfWorkItemCreate", kDispatch);
    if (!Config || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || !Config->EvtWorkItemFunc ||
        !Attributes || !wdf::CheckAttributes(Attributes, "WdfWorkItemCreate") || !Attributes->ParentObject)
        return STATUS_INVALID_PARAMETER;
    wdf::Object* parent = wdf::ResolveAny(Attributes->ParentObject, "WdfWorkItemCreate");
    if (!parent)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfWorkItemCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    *WorkItemHandle = reinterpret_cast<WDFWORKITEM>(new WorkItem(parent, *Config, Attributes));
    return STATUS_SUCCESS;
}

VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItemHandle)
{
    CheckIrql("WdfWorkItemEnqueue", kDispatch);
    if (auto* item = wdf::ResolveAs<WorkItem>(WorkItemHandle, wdf::Kind::WorkItem, "WdfWorkItemEnqueue"))
        WorkQueue::Instance().Enqueue(item);
}

WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItemHandle)
{
    auto* item = wdf::ResolveAs<WorkItem>(WorkItemHandle, wdf::Kind::WorkItem, "WdfWorkItemGetParentObject");
    return item ? item->parent()->handle() : nullptr;
}
