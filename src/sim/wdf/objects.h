// Framework objects of the simulated platform: every handle the driver holds
// is one of these. Handles are validated on every use, deleted objects are
// kept out of reuse for a while so a stale handle is caught, and each object
// carries at most one typed, zero-filled context.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wdf.h"

namespace sim::wdf {

enum class Kind {
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Interrupt,
    WorkItem,
    SpinLock,
    Key,
    String,
    ResourceList,
};
const char* KindName(Kind kind);

class Object {
public:
    Object(Kind kind, Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind kind() const { return kind_; }
    Object* parent() const { return parent_; }
    void* context() const { return context_; }
    const WDF_OBJECT_CONTEXT_TYPE_INFO* contextType() const { return contextType_; }
    WDF_EXECUTION_LEVEL executionLevel() const { return executionLevel_; }
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope() const { return synchronizationScope_; }
    bool deleted() const { return deleted_; }
    WDFOBJECT handle() { return reinterpret_cast<WDFOBJECT>(this); }

    // Runs the cleanup callbacks of the children and then of this object,
    // unlinks it from its parent and frees it. The framework's own deletion.
    static void Delete(Object* object);

protected:
    // Called once the children are gone, before the cleanup callback.
    virtual void OnDelete() {}

private:
    Kind kind_;
    Object* parent_;
    std::mutex childrenMutex_;
    std::vector<Object*> children_;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup_ = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy_ = nullptr;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* contextType_ = nullptr;
    void* context_ = nullptr;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeInheritFromParent;
    bool deleted_ = false;
};

// Resolves a handle the driver passed. Reports kInvalidHandle and returns null
// when the handle is not a live object of the expected kind.
Object* Resolve(const void* handle, Kind kind, const char* routine);
Object* ResolveAny(const void* handle, const char* routine);
// Looks a handle up without reporting anything.
Object* Find(const void* handle, Kind kind);

template <class T>
T* ResolveAs(const void* handle, Kind kind, const char* routine)
{
    return static_cast<T*>(Resolve(handle, kind, routine));
}

size_t LiveObjectCount(Kind kind);
size_t LiveObjectCount();

// Checks that attributes passed by the driver are well formed.
bool CheckAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine);

}  // namespace sim::wdf
