#include "pnp/device_object.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "kernel/event.h"
#include "kernel/irql.h"
#include "verifier/verifier.h"

namespace sim {
namespace {

_OBJECT_TYPE gDeviceType{"Device"};

struct SyncIrp {
    IRP irp{};
    IO_STACK_LOCATION next{};
    PRKEVENT event = nullptr;
    PIO_STATUS_BLOCK userStatus = nullptr;
};

std::mutex gLaterMutex;
std::vector<std::thread>& LaterThreads()
{
    static auto* threads = new std::vector<std::thread>();
    return *threads;
}

void CompleteSyncIrp(SyncIrp* request)
{
    if (request->userStatus)
        *request->userStatus = request->irp.IoStatus;
    if (auto event = StackEvent(request->event))
        event->Set();
    delete request;
}

// The bus driver's answer to one configuration request.
NTSTATUS AnswerConfig(PciFunction* function, IO_STACK_LOCATION* stack)
{
    auto& rw = stack->Parameters.ReadWriteConfig;
    if (stack->MinorFunction != IRP_MN_READ_CONFIG || rw.WhichSpace != PCI_WHICHSPACE_CONFIG)
        return STATUS_NOT_SUPPORTED;
    if (Verifier::Instance().ShouldFail("PciReadConfig"))
        return STATUS_UNSUCCESSFUL;
    uint32_t read = function->readConfig(rw.Offset, rw.Buffer, rw.Length);
    return read == rw.Length ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

}  // namespace

std::string PciFunction::locationText() const
{
    char text[80];
    std::snprintf(text, sizeof text, "PCI bus %u, device %u, function %u", location.bus,
                  location.device, location.function);
    return text;
}

POBJECT_TYPE DeviceObjectType() { return &gDeviceType; }

void DrainConfigRequests()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(gLaterMutex);
        threads.swap(LaterThreads());
    }
    for (auto& thread : threads)
        thread.join();
}

}  // namespace sim

_DEVICE_OBJECT::_DEVICE_OBJECT(sim::PciFunction* function)
    : KObject(sim::DeviceObjectType()), Function(function)
{
}

using namespace sim;

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql("IoGetAttachedDeviceReference", kDispatch, DeviceObject);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->Reference();
    return top;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                        ULONG Length, PLARGE_INTEGER StartingOffset, PRKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock)
{
    CheckIrql("IoBuildSynchronousFsdRequest", kPassive, DeviceObject);
    if (Verifier::Instance().ShouldFail("IoBuildSynchronousFsdRequest"))
        return nullptr;
    auto* request = new SyncIrp();
    request->irp.NextStackLocation = &request->next;
    request->next.MajorFunction = static_cast<UCHAR>(MajorFunction);
    request->event = Event;
    request->userStatus = IoStatusBlock;
    return &request->irp;
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrql("IofCallDriver", kDispatch, DeviceObject);
    auto* request = reinterpret_cast<SyncIrp*>(Irp);
    // The framework's object passes requests it does not handle down to the
    // bus driver's physical device object.
    PDEVICE_OBJECT pdo = DeviceObject;
    while (pdo->LowerDevice)
        pdo = pdo->LowerDevice;
    PciFunction* function = pdo->Function;
    if (request->next.MajorFunction != IRP_MJ_PNP || !function) {
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        CompleteSyncIrp(request);
        return STATUS_NOT_SUPPORTED;
    }
    if (!function->completeLater) {
        NTSTATUS status = AnswerConfig(function, &request->next);
        Irp->IoStatus.Status = status;
        CompleteSyncIrp(request);
        return status;
    }
    std::lock_guard<std::mutex> lock(gLaterMutex);
    LaterThreads().emplace_back([function, request] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        request->irp.IoStatus.Status = AnswerConfig(function, &request->next);
        CompleteSyncIrp(request);
    });
    return STATUS_PENDING;
}
