// Stands a simulated machine up for the example: one board, a process for the
// example to run in, and a thread that keeps pulsing channel 0 with changing
// inputs until the example returns.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "testbed/testbed.h"

extern "C" int example_main(void);

int main()
{
    try {
        sim::Testbed machine;
        sim::ProcessPtr process = machine.NewProcess("example");
        sim::ProcessScope inProcess(process.get());

        std::atomic<bool> done{false};
        std::thread pulser([&] {
            for (uint32_t i = 1; !done.load(); ++i) {
                machine.board().SetInputs(0x01010101u * (i & 0xFF));
                machine.board().Pulse(0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        int result = example_main();
        done = true;
        pulser.join();
        return result;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "example host: %s\n", error.what());
        return 1;
    }
}
