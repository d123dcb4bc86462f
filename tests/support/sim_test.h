// Shared test support: a fixture that turns every verifier violation into a
// test failure unless the test captures it, and helpers that talk to a device
// the way an application does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kobject.h"
#include "testbed/testbed.h"
#include "public/mdx4208_wire.h"
#include "um/um.h"
#include "verifier/verifier.h"

namespace simtest {

struct IoResult {
    int32_t status = 0;
    uint32_t bytes = 0;
    std::vector<uint8_t> output;
};

// Sends one control request from the current thread's process. The output
// buffer starts filled with 0xEE so untouched bytes are visible.
IoResult Ioctl(um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input,
               uint32_t outputLength);

// Counts violations of one rule raised while `body` runs.
template <class Body>
size_t CountViolations(const char* rule, Body&& body)
{
    auto& verifier = sim::Verifier::Instance();
    size_t before = verifier.CountOf(rule);
    {
        sim::ViolationCapture capture;
        body();
    }
    return verifier.CountOf(rule) - before;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A test with one board's device standing and a user process attached to the
// test's thread.
class DeviceTest : public SimTest {
protected:
    void SetUp() override;
    void TearDown() override;

    um::HANDLE Open(uint32_t access);
    um::HANDLE OpenShared() { return Open(kSharedAccess); }
    um::HANDLE OpenPrivileged() { return Open(kSharedAccess | um::kFileWriteAttributes); }
    static constexpr uint32_t kSharedAccess = um::kGenericRead | um::kFileWriteData;
    // The caller's own mapping of the shared block, as the driver reports it.
    static SHARED_BLOCK* SharedOf(um::HANDLE handle);
    uint32_t Base() const { return machine->portBase(); }

    // Set by a fixture's constructor to stand the device up differently.
    sim::Testbed::Options options;
    std::unique_ptr<sim::Testbed> machine;
    sim::ProcessPtr process;
    std::unique_ptr<sim::ProcessScope> inProcess;
};

std::vector<uint8_t> Bytes(std::initializer_list<uint32_t> words);

// References held on the object a handle of the current process names,
// besides the handle's own.
long ExtraReferences(um::HANDLE handle);
// How often the event a handle names has been set.
uint64_t EventSets(um::HANDLE handle);

}  // namespace simtest
