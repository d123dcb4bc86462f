// The driver's load, device creation from the simulated PnP manager, and the
// start and release of boards.
#include "device/device_context.h"
#include "kernel/kobject.h"
#include "kernel/pool.h"
#include "lifecycle/lifecycle.h"
#include "pnp/machine.h"
#include "registry/sim_registry.h"
#include "support/sim_test.h"
#include "wdf/framework.h"

namespace {

using sim::Machine;
using simtest::CountViolations;

class LifecycleTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::Registry::Instance().UseMemoryOnly();
    }

    static PDEVICE_EXTENSION Extension(Machine& machine, size_t index)
    {
        return GetDeviceExtension(machine.Device(index));
    }
};

TEST_F(LifecycleTest, DeviceAddFillsTheContextFromTheBus)
{
    Machine machine;
    sim::BoardSlot slot;
    slot.location = {3, 5, 2};
    machine.AddBoard(slot);
    slot.location = {3, 6, 0};
    slot.pciDeviceId = 0x4209;
    machine.AddBoard(slot);
    ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(machine.AddDevice(i), STATUS_SUCCESS);
        PDEVICE_EXTENSION extension = Extension(machine, i);
        const SHARED_BLOCK* shared = extension->Shared;
        EXPECT_EQ(extension->Prepared, 0u);
        EXPECT_TRUE(IsListEmpty(&extension->FileList));
        EXPECT_NE(extension->SharedMdl, nullptr);
        EXPECT_NE(extension->InterruptObject, nullptr);
        EXPECT_EQ(shared->Size, 160u);
        EXPECT_EQ(shared->ProductID, i == 0 ? 0x88u : 0u);
        EXPECT_EQ(shared->BoardNumber, 0xFFFFFFFFu);
        EXPECT_EQ(shared->BusNumber, 3u);
        EXPECT_EQ(shared->SlotNumber, i == 0 ? 5u : 6u);
        // Everything else in the block is still zero.
        const auto* bytes = reinterpret_cast<const uint8_t*>(shared);
        for (size_t offset = 24; offset < sizeof(SHARED_BLOCK); ++offset)
            ASSERT_EQ(bytes[offset], 0) << "offset " << offset;
    }
}

TEST_F(LifecycleTest, TheConfigurationRequestAnsweredAtOnceOrLaterGivesTheProduct)
{
    for (bool later : {false, true}) {
        Machine machine;
        sim::BoardSlot slot;
        slot.configCompletesLater = later;
        machine.AddBoard(slot);
        ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
        size_t objects = sim::LiveKernelObjects();
        ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS);
        EXPECT_EQ(Extension(machine, 0)->Shared->ProductID, 0x88u) << later;
        // The top of the stack was referenced once and released once; only
        // the framework's own device object is new.
        EXPECT_EQ(sim::LiveKernelObjects(), objects + 1) << later;
    }
}

TEST_F(LifecycleTest, AFailedOrUnbuiltConfigurationReadLeavesNoProduct)
{
    for (const char* operation : {"IoBuildSynchronousFsdRequest", "PciReadConfig"}) {
        Machine machine;
        machine.AddBoard({});
        ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
        sim::Verifier::Instance().ArmFault(operation, 1);
        ASSERT_EQ(machine.AddDevice(0), STATUS_SUCCESS) << operation;
        EXPECT_EQ(Extension(machine, 0)->Shared->ProductID, 0u) << operation;
        sim::Verifier::Instance().DisarmFaults();
    }
}

TEST_F(LifecycleTest, DeviceAddFailuresReturnTheirStatusAndLeaveNothing)
{
    struct Case {
        const char* operation;
        NTSTATUS status;
    };
    for (Case c : {Case{"IoAllocateMdl", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"WdfDeviceCreateDeviceInterface", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"WdfDeviceQueryProperty", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES},
                   Case{"WdfInterruptCreate", STATUS_INSUFFICIENT_RESOURCES}}) {
        Machine machine;
        machine.AddBoard({});
        ASSERT_EQ(machine.LoadDriver(DriverEntry), STATUS_SUCCESS);
        sim::Verifier::Instance().ArmFault(c.operation, 1);
        EXPECT_EQ(machine.AddDevice(0), c.status) << c.operation;
        sim::Verifier::Instance().DisarmFaults();
        EXPECT_EQ(machine.Device(0), nullptr);
        EXPECT_EQ(sim::wdf::LiveObjectCount(sim::wdf::Kind::Device), 0u) << c.operation;
        EXPECT_EQ(sim::PoolOutstanding("KSHB"), 0u) << c.operation;
    }
}

TEST_F(LifecycleTest, AFailingDriverCreateFailsTheLoadAndCreatesNoLock)
{
    Machine machine;
    sim::Verifier::Instance().ArmFault("WdfDriverCreate", 1);
    EXPECT_EQ(machine.LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BoardTable.Lock, nullptr);
    EXPECT_EQ(sim::wdf::LiveObjectCount(sim::wdf::Kind::SpinLock), 0u);
    sim::Verifier::Instance().DisarmFaults();
    sim::Verifier::Instance().ArmFault("WdfSpinLockCreate", 1);
    EXPECT_EQ(machine.LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
