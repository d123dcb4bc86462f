// Kernel objects with reference counts, the object types the driver names,
// and the processes whose handle tables hold them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt_kernel.h"

struct _OBJECT_TYPE {
    const char* Name;
};

namespace sim {

class Process;

// Base of every object a handle can name. Created with one reference, which
// the creator hands to a handle or drops.
class KObject {
public:
    // Objects that live outside the object manager (a caller's stack event)
    // are not counted among the live ones.
    explicit KObject(POBJECT_TYPE type, bool counted = true);
    virtual ~KObject();
    KObject(const KObject&) = delete;
    KObject& operator=(const KObject&) = delete;

    POBJECT_TYPE type() const { return type_; }
    void Reference() { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; the last one runs OnLastReference in the calling
    // thread's context and frees the object.
    void Dereference();
    long References() const { return refs_.load(); }

protected:
    virtual void OnLastReference() {}

private:
    POBJECT_TYPE type_;
    bool counted_;
    std::atomic<long> refs_{1};
};

POBJECT_TYPE FileObjectType();
POBJECT_TYPE EventObjectType();
POBJECT_TYPE ProcessObjectType();

size_t LiveKernelObjects();

struct HandleEntry {
    KObject* object = nullptr;
    ACCESS_MASK granted = 0;
};

// A simulated process: a handle table and an address space into which pages
// given for sharing are mapped. Threads attach to a process with ProcessScope;
// the kernel's own threads run in the system process. A process is a kernel
// object: the driver may hold a reference to it past its exit.
class Process : public KObject {
public:
    Process(uint32_t id, std::string name);
    ~Process() override;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    uint32_t id() const { return id_; }
    const std::string& name() const { return name_; }

    // Takes over one reference of `object`.
    HANDLE InsertHandle(KObject* object, ACCESS_MASK granted);
    // Returns the entry with a new reference on its object, or false.
    bool ReferenceHandle(HANDLE handle, HandleEntry* entry);
    NTSTATUS CloseHandle(HANDLE handle);
    size_t HandleCount() const;
    // Closes every handle, in this process's context, then tears down the
    // address space; a mapping still there then is reported.
    void Exit();
    bool exited() const { return exited_; }

    // Maps `length` bytes of the shared-memory file `fd` below 4 GiB.
    void* MapShared(int fd, size_t length);
    // Undoes a mapping made by MapShared; false when this process has none
    // at that address.
    bool Unmap(void* address);
    size_t MappingCount() const;

    static Process* Current();
    static Process* System();
    static void AttachCurrentThread(Process* process);

private:
    friend class ProcessScope;
    uint32_t id_;
    std::string name_;
    mutable std::mutex mutex_;
    std::map<uintptr_t, HandleEntry> handles_;
    uintptr_t nextHandle_ = 4;
    bool exited_ = false;
    std::map<uintptr_t, size_t> mappings_;
};

// Owns a process for a test or a tool: exits it and drops the reference.
struct ProcessExit {
    void operator()(Process* process) const
    {
        process->Exit();
        process->Dereference();
    }
};
using ProcessPtr = std::unique_ptr<Process, ProcessExit>;

// Runs the current thread in `process` for its lifetime.
class ProcessScope {
public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* saved_;
};

}  // namespace sim
