#include "support/sim_test.h"

#include <cstring>

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

void SimTest::TearDown() { sim::Verifier::Instance().DisarmFaults(); }

void DeviceTest::SetUp()
{
    SimTest::SetUp();
    machine = std::make_unique<sim::Testbed>();
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
