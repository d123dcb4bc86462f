// mdx4208: runs a simulated machine with one MDX-4208 and talks to its board
// the way an application does, through the user-mode surface.
#include <cstdio>
#include <cstring>
#include <string>

#include "public/mdx4208_wire.h"
#include "testbed/testbed.h"
#include "um/um.h"

namespace {

int Demo()
{
    sim::Testbed machine;
    auto process = machine.NewProcess("demo");
    sim::ProcessScope inProcess(process.get());

    um::HANDLE handle = nullptr;
    um::NTSTATUS status = um::CreateFile(machine.devicePath().c_str(),
                                         um::kGenericRead | um::kFileWriteData, &handle);
    std::printf("open %s: status 0x%08X\n", "\\\\.\\MDX4208#0", static_cast<unsigned>(status));
    if (status < 0)
        return 1;

    uint32_t address = 0, bytes = 0;
    status = um::DeviceIoControl(handle, IOCTL_GET_SHARED_ADDRESS, nullptr, 0, &address,
                                 sizeof address, &bytes);
    std::printf("shared address: status 0x%08X, %u bytes, address 0x%08X\n",
                static_cast<unsigned>(status), bytes, address);

    uint32_t zero[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    uint32_t in = 0;
    status = um::DeviceIoControl(handle, IOCTL_QUERY_ZERO_STATUS, &in, sizeof in, zero,
                                 sizeof zero, &bytes);
    std::printf("zero status: status 0x%08X, %u bytes, %08X %08X\n",
                static_cast<unsigned>(status), bytes, zero[0], zero[1]);

    uint8_t accept[12] = {};
    status = um::DeviceIoControl(handle, IOCTL_PRIVILEGED_ACCEPT, accept, sizeof accept, nullptr,
                                 0, &bytes);
    std::printf("privileged accept (shared handle): status 0x%08X\n",
                static_cast<unsigned>(status));

    status = um::DeviceIoControl(handle, IOCTL_SIGNAL_GENERAL_EVENT, nullptr, 0, nullptr, 0, &bytes);
    std::printf("general event: status 0x%08X\n", static_cast<unsigned>(status));

    um::CloseHandle(handle);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "demo") == 0)
        return Demo();
    std::fprintf(stderr, "usage: mdx4208 demo\n");
    return 2;
}
