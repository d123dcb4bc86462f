// Per-thread interrupt request level, spin locks with the verifier's lock
// rules, and the frame the framework puts around every driver callback.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

using Irql = uint8_t;
inline constexpr Irql kPassive = 0;
inline constexpr Irql kApc = 1;
inline constexpr Irql kDispatch = 2;

Irql CurrentIrql();
// Sets the thread's level directly; used by the platform's own threads.
void SetCurrentIrql(Irql level);
// Reports kIrqlTooHigh when the caller runs above `highest`.
bool CheckIrql(const char* routine, Irql highest, const void* object = nullptr);

// A spin lock as the platform has it: raises to its level, never recursive,
// released by its owner only, and ordered against the other locks it has been
// taken together with.
class SpinLock {
public:
    // Locks of a higher rank are never taken before locks of a lower one
    // (device lock 1, interrupt lock 2); 0 means unranked.
    SpinLock(std::string name, Irql level = kDispatch, int rank = 0);
    ~SpinLock();
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void Acquire(const char* routine);
    void Release(const char* routine);
    bool HeldByCurrentThread() const;
    const std::string& Name() const { return name_; }
    Irql Level() const { return level_; }
    int Rank() const { return rank_; }
    void SetLevel(Irql level) { level_ = level; }

private:
    std::string name_;
    Irql level_;
    int rank_;
    std::mutex mutex_;
    std::thread::id owner_;
    Irql savedIrql_ = 0;
};

size_t HeldLockCount();

// What the current thread holds of the resources a driver routine must give
// back before it returns: registry keys, and paged-pool buffers of the
// registry routines' tag.
struct ThreadResources {
    long registryKeys = 0;
    long registryBuffers = 0;
};
ThreadResources& ThisThreadResources();

// Put around each driver callback: checks that the callback returns at the
// level it was entered at and holding no lock it did not hold on entry.
class CallbackFrame {
public:
    CallbackFrame(const char* callback, const void* object);
    ~CallbackFrame();
    CallbackFrame(const CallbackFrame&) = delete;
    CallbackFrame& operator=(const CallbackFrame&) = delete;

private:
    const char* callback_;
    const void* object_;
    Irql entryIrql_;
    size_t entryLocks_;
    ThreadResources entryResources_;
};

// Runs the current thread at `level` for its lifetime.
class IrqlScope {
public:
    explicit IrqlScope(Irql level) : saved_(CurrentIrql()) { SetCurrentIrql(level); }
    ~IrqlScope() { SetCurrentIrql(saved_); }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    Irql saved_;
};

}  // namespace sim
