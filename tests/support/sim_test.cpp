#include "support/sim_test.h"

#include <cstring>

#include "kernel/event.h"
#include "kernel/irql.h"

namespace simtest {

IoResult Ioctl(um::HANDLE handle, uint32_t code, const std::vector<uint8_t>& input,
               uint32_t outputLength)
{
    IoResult result;
    result.output.assign(outputLength, 0xEE);
    result.status = um::DeviceIoControl(handle, code, input.empty() ? nullptr : input.data(),
                                        static_cast<uint32_t>(input.size()),
                                        outputLength ? result.output.data() : nullptr,
                                        outputLength, &result.bytes);
    return result;
}

std::vector<uint8_t> Bytes(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> bytes;
    for (uint32_t word : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    return bytes;
}

long ExtraReferences(um::HANDLE handle)
{
    sim::HandleEntry entry;
    if (!sim::Process::Current()->ReferenceHandle(handle, &entry))
        return -1;
    long references = entry.object->References() - 2;
    entry.object->Dereference();
    return references;
}

uint64_t EventSets(um::HANDLE handle)
{
    sim::HandleEntry entry;
    if (!sim::Process::Current()->ReferenceHandle(handle, &entry))
        return 0;
    uint64_t sets = static_cast<sim::KEvent*>(entry.object)->SetCount();
    entry.object->Dereference();
    return sets;
}

SHARED_BLOCK* DeviceTest::SharedOf(um::HANDLE handle)
{
    uint32_t address = 0, bytes = 0;
    EXPECT_EQ(um::DeviceIoControl(handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address,
                                  sizeof address, &bytes),
              0);
    return reinterpret_cast<SHARED_BLOCK*>(static_cast<uintptr_t>(address));
}

void SimTest::SetUp()
{
    auto& verifier = sim::Verifier::Instance();
    verifier.ClearViolations();
    verifier.DisarmFaults();
    verifier.SetStopHandler([](const sim::Violation& v) {
        ADD_FAILURE() << "verifier stop: " << v.rule << " in " << v.routine << " (object "
                      << v.object << ") " << v.detail;
    });
}

void SimTest::TearDown()
{
    sim::Verifier::Instance().DisarmFaults();
    // A test must leave its thread as it found it.
    EXPECT_EQ(sim::CurrentIrql(), sim::kPassive);
    EXPECT_EQ(sim::HeldLockCount(), 0u);
    sim::SetCurrentIrql(sim::kPassive);
}

void DeviceTest::SetUp()
{
    SimTest::SetUp();
    machine = std::make_unique<sim::Testbed>(options);
    process = machine->NewProcess("test");
    inProcess = std::make_unique<sim::ProcessScope>(process.get());
}

void DeviceTest::TearDown()
{
    inProcess.reset();
    process.reset();
    machine.reset();
    SimTest::TearDown();
}

um::HANDLE DeviceTest::Open(uint32_t access)
{
    um::HANDLE handle = nullptr;
    EXPECT_EQ(um::CreateFile(machine->devicePath().c_str(), access, &handle), 0);
    return handle;
}

}  // namespace simtest
