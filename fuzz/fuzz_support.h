// What both fuzzers share: the verifier as the oracle, and control requests
// whose completion comes from a work item while the fuzzer steps the work
// queue itself.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kernel/kobject.h"
#include "public/mdx4208_wire.h"
#include "um/um.h"
#include "verifier/verifier.h"
#include "wdf/work_items.h"

namespace fuzz {

// A violation is a finding: print it and abort, so that libFuzzer reports the
// input that led to it.
inline void StopOnViolation()
{
    sim::Verifier::Instance().SetStopHandler([](const sim::Violation& v) {
        std::fprintf(stderr, "*** verifier: %s in %s (object %s)%s%s\n", v.rule.c_str(), v.routine.c_str(),
                     v.object.c_str(), v.detail.empty() ? "" : ": ", v.detail.c_str());
        std::abort();
    });
}

struct IoResult {
    um::NTSTATUS status = 0;
    uint32_t bytes = 0;
};

inline bool IsDeferred(uint32_t code)
{
    return code == IOCTL_READ_DEVICE_VALUE || code == IOCTL_WRITE_DEVICE_VALUE || code == IOCTL_GET_LOCATION;
}

// Sends one request from `process`. A deferred one blocks its sender until a
// work item completes it, so it is sent from a thread of that process while
// this thread runs the work queue.
inline IoResult Ioctl(sim::Process* process, um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input,
                      uint32_t outputLength)
{
    std::vector<uint8_t> output(outputLength, 0xEE);
    IoResult result;
    auto send = [&] {
        sim::ProcessScope scope(process);
        result.status = um::DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(),
                                            static_cast<uint32_t>(input.size()),
                                            output.empty() ? nullptr : output.data(), outputLength, &result.bytes);
    };
    if (!IsDeferred(code)) {
        send();
        return result;
    }
    std::atomic<bool> done{false};
    std::thread sender([&] {
        send();
        done = true;
    });
    while (!done.load()) {
        if (sim::WorkQueue::Instance().RunPending() == 0)
            std::this_thread::yield();
    }
    sender.join();
    return result;
}

}  // namespace fuzz
