// Kernel event objects: notification or synchronisation events that threads
// wait on, named by handles in process handle tables.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "kernel/kobject.h"

namespace sim {

// A PKEVENT, like every object pointer the driver holds, is the KObject
// itself.
class KEvent : public KObject {
public:
    explicit KEvent(EVENT_TYPE type, bool signalled = false, bool counted = true);
    // For objects that are waited on like an event (a thread).
    KEvent(POBJECT_TYPE objectType, EVENT_TYPE type, bool signalled);

    LONG Set();
    LONG Reset();
    bool Signalled() const;
    // Waits until signalled (a synchronisation event is then reset); false on
    // time-out. A negative time-out waits for ever.
    bool Wait(std::chrono::nanoseconds timeout);
    uint64_t SetCount() const;

    static KEvent* FromPointer(PVOID object);
    PKEVENT AsPointer() { return reinterpret_cast<PKEVENT>(static_cast<KObject*>(this)); }

private:
    EVENT_TYPE type_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_;
    uint64_t sets_ = 0;
};

// The event whose storage the driver keeps at `storage`, if one was initialised
// there.
std::shared_ptr<KEvent> StackEvent(const void* storage);

}  // namespace sim
