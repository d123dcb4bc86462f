#include "kernel/kobject.h"

#include "kernel/irql.h"

#include <vector>

#include <sys/mman.h>

#include "verifier/verifier.h"

namespace sim {
namespace {

thread_local Process* tProcess = nullptr;
std::atomic<size_t> gLiveObjects{0};

_OBJECT_TYPE gFileType{"File"};
_OBJECT_TYPE gEventType{"Event"};
_OBJECT_TYPE gProcessType{"Process"};
POBJECT_TYPE gEventTypePointer = &gEventType;

}  // namespace

POBJECT_TYPE FileObjectType() { return &gFileType; }
POBJECT_TYPE EventObjectType() { return &gEventType; }
POBJECT_TYPE ProcessObjectType() { return &gProcessType; }

KObject::KObject(POBJECT_TYPE type, bool counted) : type_(type), counted_(counted)
{
    if (counted_)
        gLiveObjects.fetch_add(1);
}

KObject::~KObject()
{
    if (counted_)
        gLiveObjects.fetch_sub(1);
}

void KObject::Dereference()
{
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        OnLastReference();
        delete this;
    }
}

size_t LiveKernelObjects() { return gLiveObjects.load(); }

Process::Process(uint32_t id, std::string name)
    : KObject(ProcessObjectType()), id_(id), name_(std::move(name))
{
}

Process::~Process()
{
    if (!exited_)
        Exit();
}

void* Process::MapShared(int fd, size_t length)
{
    void* address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_32BIT, fd, 0);
    if (address == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    mappings_[reinterpret_cast<uintptr_t>(address)] = length;
    return address;
}

bool Process::Unmap(void* address)
{
    size_t length;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = mappings_.find(reinterpret_cast<uintptr_t>(address));
        if (it == mappings_.end())
            return false;
        length = it->second;
        mappings_.erase(it);
    }
    munmap(address, length);
    return true;
}

size_t Process::MappingCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mappings_.size();
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
    {
        ProcessScope scope(this);
        for (KObject* object : objects)
            object->Dereference();
    }
    std::map<uintptr_t, size_t> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(mappings_);
    }
    for (const auto& mapping : left) {
        Verifier::Instance().Report(rule::kUserMappingLeak, "process exit", name_,
                                    "a mapping of locked pages outlived its process");
        munmap(reinterpret_cast<void*>(mapping.first), mapping.second);
    }
}

Process* Process::Current() { return tProcess ? tProcess : System(); }

Process* Process::System()
{
    static Process* system = new Process(4, "System");
    return system;
}

}  // namespace sim

using namespace sim;

PEPROCESS NTAPI PsGetCurrentProcess() { return reinterpret_cast<PEPROCESS>(static_cast<KObject*>(Process::Current())); }

VOID NTAPI ObfReferenceObject(PVOID Object) { static_cast<KObject*>(Object)->Reference(); }

VOID NTAPI KeStackAttachProcess(PEPROCESS Process, PKAPC_STATE ApcState)
{
    CheckIrql("KeStackAttachProcess", kApc, Process);
    ApcState->Opaque[0] = reinterpret_cast<ULONG_PTR>(sim::Process::Current());
    sim::Process::AttachCurrentThread(
        static_cast<sim::Process*>(reinterpret_cast<KObject*>(Process)));
}

VOID NTAPI KeUnstackDetachProcess(PKAPC_STATE ApcState)
{
    sim::Process::AttachCurrentThread(reinterpret_cast<sim::Process*>(ApcState->Opaque[0]));
}

namespace sim {

void Process::AttachCurrentThread(Process* process) { tProcess = process == System() ? nullptr : process; }

ProcessScope::ProcessScope(Process* process) : saved_(tProcess) { tProcess = process; }
ProcessScope::~ProcessScope() { tProcess = saved_; }

}  // namespace sim

POBJECT_TYPE* ExEventObjectType = &sim::gEventTypePointer;
