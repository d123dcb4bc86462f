#include "kernel/kobject.h"

#include <vector>

namespace sim {
namespace {

thread_local Process* tProcess = nullptr;
std::atomic<size_t> gLiveObjects{0};

_OBJECT_TYPE gFileType{"File"};
_OBJECT_TYPE gEventType{"Event"};
POBJECT_TYPE gEventTypePointer = &gEventType;

}  // namespace

POBJECT_TYPE FileObjectType() { return &gFileType; }
POBJECT_TYPE EventObjectType() { return &gEventType; }

KObject::KObject(POBJECT_TYPE type) : type_(type) { gLiveObjects.fetch_add(1); }
KObject::~KObject() { gLiveObjects.fetch_sub(1); }

void KObject::Dereference()
{
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        OnLastReference();
        delete this;
    }
}

size_t LiveKernelObjects() { return gLiveObjects.load(); }

Process::Process(uint32_t id, std::string name) : id_(id), name_(std::move(name)) {}

Process::~Process()
{
    if (!exited_)
        Exit();
}

HANDLE Process::InsertHandle(KObject* object, ACCESS_MASK granted)
{
    std::lock_guard<std::mutex> lock(mutex_);
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = HandleEntry{object, granted};
    return reinterpret_cast<HANDLE>(value);
}

bool Process::ReferenceHandle(HANDLE handle, HandleEntry* entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end())
        return false;
    it->second.object->Reference();
    *entry = it->second;
    return true;
}

NTSTATUS Process::CloseHandle(HANDLE handle)
{
    KObject* object;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == handles_.end())
            return STATUS_INVALID_HANDLE;
        object = it->second.object;
        handles_.erase(it);
    }
    ProcessScope scope(this);
    object->Dereference();
    return STATUS_SUCCESS;
}

size_t Process::HandleCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
}

void Process::Exit()
{
    std::vector<KObject*> objects;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = true;
        for (auto& entry : handles_)
            objects.push_back(entry.second.object);
        handles_.clear();
    }
    ProcessScope scope(this);
    for (KObject* object : objects)
        object->Dereference();
}

Process* Process::Current() { return tProcess ? tProcess : System(); }

Process* Process::System()
{
    static Process* system = new Process(4, "System");
    return system;
}

ProcessScope::ProcessScope(Process* process) : saved_(tProcess) { tProcess = process; }
ProcessScope::~ProcessScope() { tProcess = saved_; }

}  // namespace sim

POBJECT_TYPE* ExEventObjectType = &sim::gEventTypePointer;
