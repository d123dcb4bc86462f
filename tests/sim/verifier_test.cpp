// Each verifier rule fires for a deliberately faulty caller. The faulty
// drivers here are small devices built on the simulated framework with
// callbacks that break one rule each.
#include <functional>

#include "io/io_manager.h"
#include "io/port_space.h"
#include "kernel/irql.h"
#include "kernel/pool.h"
#include "platform/platform.h"
#include "support/sim_test.h"
#include "testbed/testbed.h"
#include "wdf/framework.h"
#include "wdf/work_items.h"
#include "device/device_context.h"

namespace {

using simtest::CountViolations;
using simtest::Ioctl;
namespace rule = sim::rule;

// A pool tag as its text reads in a dump: the first character is the lowest byte.
constexpr ULONG Tag(const char (&text)[5])
{
    return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
           ULONG(uint8_t(text[3])) << 24;
}

struct FAULTY_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FAULTY_CONTEXT, GetFaultyContext)
WDF_DEFINE_CONTEXT_TYPE(FAULTY_CONTEXT);

std::function<void(WDFQUEUE, WDFREQUEST, SIZE_T, SIZE_T)> gFaultyControl;

VOID NTAPI FaultyDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, SIZE_T Output, SIZE_T Input,
                               ULONG Code)
{
    gFaultyControl(Queue, Request, Output, Input);
}

// A device whose control callback is whatever the test sets, opened by a
// user process attached to the test's thread.
class FaultyDriverTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        ASSERT_EQ(WdfDriverCreate(&driverObject, nullptr, nullptr, &config, &driver), STATUS_SUCCESS);
        WDFDEVICE_INIT init;
        PWDFDEVICE_INIT deviceInit = &init;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FAULTY_CONTEXT);
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        ASSERT_EQ(WdfDeviceCreate(&deviceInit, &attributes, &device), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG queue;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
        queue.EvtIoDeviceControl = FaultyDeviceControl;
        ASSERT_EQ(WdfIoQueueCreate(device, &queue, nullptr, nullptr), STATUS_SUCCESS);
        auto* simDevice = reinterpret_cast<sim::wdf::Device*>(device);
        sim::ObjectNamespace::Instance().Link(u"\\??\\Faulty", simDevice);
        sim::PortSpace::Instance().Assign(simDevice, 0xE000, 8);
        simDevice->setStarted(true);
        process = sim::ProcessPtr(new sim::Process(7, "faulty-test"));
        scope = std::make_unique<sim::ProcessScope>(process.get());
        ASSERT_EQ(um::CreateFile(u"\\\\.\\Faulty", um::kGenericRead | um::kFileWriteData, &handle), 0);
    }

    void TearDown() override
    {
        scope.reset();
        process.reset();
        auto* simDevice = reinterpret_cast<sim::wdf::Device*>(device);
        sim::ObjectNamespace::Instance().UnlinkDevice(simDevice);
        sim::PortSpace::Instance().Unassign(simDevice);
        sim::wdf::Object::Delete(reinterpret_cast<sim::wdf::Object*>(driver));
        gFaultyControl = nullptr;
        EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
        SimTest::TearDown();
    }

    size_t SendViolating(const char* ruleName, uint32_t outputLength = 4)
    {
        return CountViolations(ruleName, [&] { Ioctl(handle, 0x9C406004, {1, 2, 3, 4}, outputLength); });
    }

    _DRIVER_OBJECT driverObject{};
    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;
    sim::ProcessPtr process;
    std::unique_ptr<sim::ProcessScope> scope;
    um::HANDLE handle = nullptr;
};

TEST_F(FaultyDriverTest, CompletingTwiceFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        WdfRequestComplete(r, STATUS_SUCCESS);
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kRequestCompletedTwice), 1u);
}

TEST_F(FaultyDriverTest, TouchingACompletedRequestFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        WdfRequestComplete(r, STATUS_SUCCESS);
        WdfRequestGetFileObject(r);
    };
    EXPECT_EQ(SendViolating(rule::kRequestUsedAfterCompletion), 1u);
}

TEST_F(FaultyDriverTest, ReportingMoreBytesThanTheOutputFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T output, SIZE_T) {
        WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, output + 1);
    };
    EXPECT_EQ(SendViolating(rule::kRequestInformationTooLarge), 1u);
    // With no output buffer nothing is copied, so the count overruns nothing.
    EXPECT_EQ(SendViolating(rule::kRequestInformationTooLarge, 0), 0u);
    // A failure's count is not looked at: it is never copied back.
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T output, SIZE_T) {
        WdfRequestCompleteWithInformation(r, STATUS_UNSUCCESSFUL, output + 1);
    };
    EXPECT_EQ(SendViolating(rule::kRequestInformationTooLarge), 0u);
}

TEST_F(FaultyDriverTest, ReportingOutputNeverWrittenFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T output, SIZE_T) {
        WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, output);
    };
    // Four input bytes travel in the buffer; the other 12 were never written.
    EXPECT_EQ(SendViolating(rule::kStaleOutput, 16), 1u);
    EXPECT_EQ(SendViolating(rule::kStaleOutput, 4), 0u);
}

TEST_F(FaultyDriverTest, WritingPastTheSystemBufferFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T output, SIZE_T) {
        PVOID buffer;
        WdfRequestRetrieveOutputBuffer(r, 1, &buffer, nullptr);
        static_cast<uint8_t*>(buffer)[output] = 0;
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kBufferOverrun), 1u);
}

TEST_F(FaultyDriverTest, ReturningAtAnotherLevelOrHoldingALockFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        WdfRequestComplete(r, STATUS_SUCCESS);
        sim::SetCurrentIrql(sim::kPassive);  // drops below the framework's lock level
    };
    EXPECT_EQ(SendViolating(rule::kCallbackIrqlChanged), 1u);

    static sim::SpinLock extra("extra");
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        extra.Acquire("faulty callback");
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kCallbackHeldLock), 1u);
    // Released out of order, it restores the level it was taken at.
    extra.Release("test clean-up");
    sim::SetCurrentIrql(sim::kPassive);
}

TEST_F(FaultyDriverTest, PassiveOnlyCallsAtDispatchFire)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        PAGED_CODE();
        WDFSPINLOCK lock;
        WdfDeviceCreate(nullptr, nullptr, nullptr);
        (void)lock;
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(CountViolations(rule::kPagedCodeAtDispatch,
                              [&] {
                                  EXPECT_EQ(CountViolations(rule::kIrqlTooHigh,
                                                            [&] { Ioctl(handle, 0x9C406004, {}, 4); }),
                                            1u);
                              }),
              1u);
}

TEST_F(FaultyDriverTest, TakingTheDeviceLockInsideItsOwnCallbackFires)
{
    gFaultyControl = [](WDFQUEUE q, WDFREQUEST r, SIZE_T, SIZE_T) {
        WdfObjectAcquireLock(reinterpret_cast<WDFOBJECT>(WdfIoQueueGetDevice(q)));
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kLockRecursion), 1u);
}

TEST_F(FaultyDriverTest, APortOutsideTheAssignedRangeFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST r, SIZE_T, SIZE_T) {
        READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE007));  // last port of the range
        READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0xE007));  // runs one past it
        READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xDFFF));
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kPortOutOfRange), 2u);
}

TEST_F(FaultyDriverTest, AContextOfAnotherTypeFires)
{
    gFaultyControl = [](WDFQUEUE q, WDFREQUEST r, SIZE_T, SIZE_T) {
        // The request carries no context at all.
        EXPECT_EQ(GetFaultyContext(r), nullptr);
        EXPECT_NE(GetFaultyContext(WdfIoQueueGetDevice(q)), nullptr);
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    EXPECT_EQ(SendViolating(rule::kWrongContextType), 1u);
}

TEST_F(FaultyDriverTest, ARequestLeftOpenWhenTheDeviceGoesFires)
{
    gFaultyControl = [](WDFQUEUE, WDFREQUEST, SIZE_T, SIZE_T) {};
    sim::IoControlResult result;
    std::thread sender([&] {
        sim::ProcessScope inProcess(process.get());
        result = sim::IoDeviceControl(handle, 0x9C406004, nullptr, 0, nullptr, 0);
    });
    // Wait until the request sits with the driver, then take the device away.
    while (sim::wdf::LiveObjectCount(sim::wdf::Kind::Request) == 0)
        std::this_thread::yield();
    size_t fired = CountViolations(rule::kRequestNotCompleted, [&] {
        sim::ObjectNamespace::Instance().UnlinkDevice(reinterpret_cast<sim::wdf::Device*>(device));
        sim::wdf::Object::Delete(reinterpret_cast<sim::wdf::Object*>(device));
        sender.join();
    });
    EXPECT_EQ(fired, 1u);
    EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
}

class LockRulesTest : public simtest::SimTest {};

TEST_F(LockRulesTest, RecursionForeignReleaseAndOrderInversionFire)
{
    sim::SpinLock a("a"), b("b");
    EXPECT_EQ(CountViolations(rule::kLockRecursion, [&] { a.Acquire("t"); a.Acquire("t"); }), 1u);
    a.Release("t");
    EXPECT_EQ(CountViolations(rule::kLockNotOwner, [&] { b.Release("t"); }), 1u);

    // a before b is learnt; b before a is reported the first time it happens,
    // with no deadlock needed.
    a.Acquire("t");
    b.Acquire("t");
    b.Release("t");
    a.Release("t");
    EXPECT_EQ(CountViolations(rule::kLockOrder, [&] {
                  b.Acquire("t");
                  a.Acquire("t");
                  a.Release("t");
                  b.Release("t");
              }),
              1u);
    EXPECT_EQ(sim::CurrentIrql(), sim::kPassive);
}

TEST_F(LockRulesTest, ALockRaisesToDispatchAndRestoresTheLevel)
{
    sim::SpinLock lock("l");
    lock.Acquire("t");
    EXPECT_EQ(sim::CurrentIrql(), sim::kDispatch);
    lock.Release("t");
    EXPECT_EQ(sim::CurrentIrql(), sim::kPassive);
}

class LeakAndFaultTest : public simtest::SimTest {};

TEST_F(LeakAndFaultTest, PoolLeftAtUnloadFires)
{
    void* leaked = nullptr;
    size_t fired = CountViolations(rule::kPoolLeak, [&] {
        sim::Testbed machine;
        leaked = ExAllocatePoolWithTag(PagedPool, 32, Tag("Leak"));
    });
    EXPECT_EQ(fired, 1u);
    EXPECT_EQ(sim::PoolOutstanding("Leak"), 1u);
    ExFreePoolWithTag(leaked, Tag("Leak"));
    EXPECT_EQ(CountViolations(rule::kPoolFreeMismatch, [&] { ExFreePoolWithTag(leaked, Tag("Leak")); }), 1u);
}

TEST_F(LeakAndFaultTest, FrameworkObjectLeftAtUnloadFires)
{
    // A request belongs to no parent, so unloading the driver does not take it.
    sim::wdf::Request* orphan = nullptr;
    size_t fired = CountViolations(rule::kObjectLeak, [&] {
        sim::Testbed machine;
        orphan = new sim::wdf::Request(WdfRequestTypeDeviceControl,
                                       std::make_shared<sim::wdf::RequestOutcome>());
    });
    EXPECT_EQ(fired, 1u);
    sim::wdf::Object::Delete(orphan);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
}

TEST_F(LeakAndFaultTest, TheNthCallOfAnOperationFails)
{
    auto& verifier = sim::Verifier::Instance();
    verifier.ArmFault("ExAllocatePoolWithTag", 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("1Tst"));
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("1Tst"));
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("1Tst"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(verifier.CallsSeen("ExAllocatePoolWithTag"), 3u);
    ExFreePoolWithTag(first, Tag("1Tst"));
    ExFreePoolWithTag(third, Tag("1Tst"));
}

TEST_F(LeakAndFaultTest, AStaleHandleIsCaught)
{
    WDFSPINLOCK lock = nullptr;
    sim::Testbed machine;
    ASSERT_EQ(WdfSpinLockCreate(nullptr, &lock), STATUS_SUCCESS);
    WdfObjectDelete(reinterpret_cast<WDFOBJECT>(lock));
    EXPECT_EQ(CountViolations(rule::kInvalidHandle, [&] { WdfSpinLockAcquire(lock); }), 1u);
}

}  // namespace

namespace {

class MemoryRulesTest : public simtest::SimTest {};

TEST_F(MemoryRulesTest, MappingPagesNotGivenForSharingFires)
{
    alignas(4096) static uint8_t kernelData[4096];
    PMDL mdl = IoAllocateMdl(kernelData, 160, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    sim::ProcessPtr process(new sim::Process(9, "p"));
    sim::ProcessScope scope(process.get());
    struct Call {
        PMDL mdl;
        PVOID address;
    } call{mdl, nullptr};
    NTSTATUS raised = 0;
    size_t fired = CountViolations(rule::kIsolation, [&] {
        EXPECT_TRUE(KeCallGuarded(
            [](PVOID c) {
                auto* call = static_cast<Call*>(c);
                call->address = MmMapLockedPagesSpecifyCache(call->mdl, UserMode, MmCached, nullptr, 0,
                                                             NormalPagePriority);
            },
            &call, &raised));
    });
    EXPECT_EQ(fired, 1u);
    EXPECT_EQ(process->MappingCount(), 0u);
    IoFreeMdl(mdl);
}

TEST_F(MemoryRulesTest, UnmappingInAnotherProcessAndExitingWithAMappingFire)
{
    void* page = ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, Tag("Page"));
    PMDL mdl = IoAllocateMdl(page, 160, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    sim::ProcessPtr owner(new sim::Process(10, "owner"));
    sim::ProcessPtr stranger(new sim::Process(11, "stranger"));
    PVOID user;
    {
        sim::ProcessScope scope(owner.get());
        user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, 0, NormalPagePriority);
    }
    ASSERT_NE(user, nullptr);
    // The user view is the same memory as the kernel's.
    static_cast<uint8_t*>(page)[5] = 0x42;
    EXPECT_EQ(static_cast<uint8_t*>(user)[5], 0x42);
    EXPECT_EQ(CountViolations(rule::kUnmapWrongProcess, [&] {
                  sim::ProcessScope scope(stranger.get());
                  MmUnmapLockedPages(user, mdl);
              }),
              1u);
    EXPECT_EQ(CountViolations(rule::kUserMappingLeak, [&] { owner.reset(); }), 1u);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(page, Tag("Page"));
}

TEST_F(MemoryRulesTest, MdlsAndReferencesLeftAtUnloadFire)
{
    PMDL mdl = nullptr;
    EXPECT_EQ(CountViolations(rule::kMdlLeak, [&] {
                  sim::Testbed machine;
                  static uint8_t buffer[16];
                  mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
              }),
              1u);
    IoFreeMdl(mdl);

    PVOID event = nullptr;
    EXPECT_EQ(CountViolations(rule::kReferenceLeak, [&] {
                  sim::Testbed machine;
                  auto process = machine.NewProcess("p");
                  sim::ProcessScope scope(process.get());
                  um::HANDLE handle;
                  ASSERT_EQ(um::CreateEvent(true, false, &handle), 0);
                  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                                      &event, nullptr),
                            STATUS_SUCCESS);
              }),
              1u);
    ObDereferenceObject(event);
}

TEST_F(MemoryRulesTest, ResolvingAUserHandleAtDispatchFires)
{
    sim::ProcessPtr process(new sim::Process(12, "p"));
    sim::ProcessScope scope(process.get());
    um::HANDLE handle;
    ASSERT_EQ(um::CreateEvent(true, false, &handle), 0);
    PVOID event = nullptr;
    EXPECT_EQ(CountViolations(rule::kIrqlTooHigh, [&] {
                  sim::IrqlScope dispatch(sim::kDispatch);
                  ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &event, nullptr);
              }),
              1u);
    if (event)
        ObDereferenceObject(event);
}

}  // namespace

namespace {

class InterruptAndRoutineRulesTest : public simtest::SimTest {};

TEST_F(InterruptAndRoutineRulesTest, TheInterruptLockWhileDisconnectedAndTheDeviceLockAfterItFire)
{
    sim::Testbed machine;
    auto* extension = machine.extension();
    // Device lock after the interrupt lock inverts the order.
    EXPECT_EQ(CountViolations(rule::kLockOrder, [&] {
                  WdfInterruptAcquireLock(extension->InterruptObject);
                  WdfObjectAcquireLock(reinterpret_cast<WDFOBJECT>(machine.device()));
                  WdfObjectReleaseLock(reinterpret_cast<WDFOBJECT>(machine.device()));
                  WdfInterruptReleaseLock(extension->InterruptObject);
              }),
              1u);
    machine.machine().Stop(0);
    EXPECT_EQ(CountViolations(rule::kInterruptLockNotConnected, [&] {
                  WdfInterruptAcquireLock(extension->InterruptObject);
                  WdfInterruptReleaseLock(extension->InterruptObject);
              }),
              1u);
}

TEST_F(InterruptAndRoutineRulesTest, ARoutineReturningWithAKeyOrARegistryBufferFires)
{
    sim::Testbed machine;
    WDFKEY key = nullptr;
    EXPECT_EQ(CountViolations(rule::kRegistryKeyLeak, [&] {
                  sim::CallbackFrame frame("faulty routine", nullptr);
                  UNICODE_STRING path;
                  RtlInitUnicodeString(&path, u"\\REGISTRY\\MACHINE\\SYSTEM");
                  ASSERT_EQ(WdfRegistryOpenKey(nullptr, &path, KEY_ALL_ACCESS, nullptr, &key), STATUS_SUCCESS);
              }),
              1u);
    WdfRegistryClose(key);
    void* buffer = nullptr;
    EXPECT_EQ(CountViolations(rule::kPoolLeak, [&] {
                  sim::CallbackFrame frame("faulty routine", nullptr);
                  buffer = ExAllocatePoolWithTag(PagedPool, 8, Tag("REGP"));
              }),
              1u);
    ExFreePoolWithTag(buffer, Tag("REGP"));
}

TEST_F(InterruptAndRoutineRulesTest, ABlockingWaitAtDispatchFires)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(CountViolations(rule::kBlockingWaitAtDispatch, [&] {
                  sim::IrqlScope dispatch(sim::kDispatch);
                  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
              }),
              1u);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(CountViolations(rule::kBlockingWaitAtDispatch, [&] {
                  sim::IrqlScope dispatch(sim::kDispatch);
                  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
              }),
              0u);
}

VOID NTAPI CompleteButKeep(WDFWORKITEM item)
{
    // Leaves the work item alive: its routine never deletes it.
    (void)item;
}

TEST_F(FaultyDriverTest, AWorkItemLeftUndeletedFires)
{
    gFaultyControl = [](WDFQUEUE q, WDFREQUEST r, SIZE_T, SIZE_T) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CompleteButKeep);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = reinterpret_cast<WDFOBJECT>(WdfIoQueueGetDevice(q));
        WDFWORKITEM item;
        ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        WdfWorkItemEnqueue(item);
        WdfRequestComplete(r, STATUS_SUCCESS);
    };
    Ioctl(handle, 0x9C406004, {}, 4);
    sim::WorkQueue::Instance().Drain();
    size_t fired = CountViolations(rule::kWorkItemLeak, [&] {
        sim::ObjectNamespace::Instance().UnlinkDevice(reinterpret_cast<sim::wdf::Device*>(device));
        sim::wdf::Object::Delete(reinterpret_cast<sim::wdf::Object*>(device));
    });
    EXPECT_EQ(fired, 1u);
}

}  // namespace
