#include "testbed/testbed.h"

#include <stdexcept>

#include "control/control.h"
#include "events/events.h"
#include "lifecycle/lifecycle.h"
#include "wdf/interrupt.h"
#include "io/io_manager.h"
#include "io/port_space.h"
#include "kernel/memory.h"
#include "kernel/pool.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"

namespace sim {
namespace {

void Require(NTSTATUS status, const char* what)
{
    if (!NT_SUCCESS(status))
        throw std::runtime_error(std::string("testbed: ") + what + " failed");
}

}  // namespace

Testbed::Testbed() : Testbed(Options{}) {}

Testbed::Testbed(const Options& options)
    : options_(options),
      kernelObjectsAtStart_((Process::System(), LiveKernelObjects())),
      board_(std::make_unique<Mdx4208Board>(options.boardIdSwitch, options.pciDeviceId))
{
    driverObject_ = new _DRIVER_OBJECT{};
    static WCHAR registryPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mdx4208";
    UNICODE_STRING path{static_cast<USHORT>(sizeof(registryPath) - sizeof(WCHAR)),
                        sizeof(registryPath), registryPath};
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    Require(WdfDriverCreate(driverObject_, &path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver_),
            "WdfDriverCreate");

    WDFDEVICE_INIT init;
    PWDFDEVICE_INIT deviceInit = &init;
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, EvtFileClose, nullptr);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, &fileAttributes);
    WdfDeviceInitSetDeviceType(deviceInit, MDX_DEVICE_TYPE);
    WdfDeviceInitSetIoInCallerContextCallback(deviceInit, EvtIoInCallerContext);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, REGISTRATION_CONTEXT);
    requestAttributes.EvtCleanupCallback = EvtRequestCleanup;
    WdfDeviceInitSetRequestAttributes(deviceInit, &requestAttributes);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_EXTENSION);
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    Require(WdfDeviceCreate(&deviceInit, &deviceAttributes, &device_), "WdfDeviceCreate");

    PDEVICE_EXTENSION extension = GetDeviceExtension(device_);
    extension->Device = device_;
    InitializeListHead(&extension->FileList);
    Require(CreateSharedBlock(extension), "CreateSharedBlock");
    extension->Shared->Size = MDX_SHARED_SIZE;
    extension->Shared->ProductID = options.pciDeviceId == MDX_PCI_DEVICE_ID ? MDX_PRODUCT_ID : 0;
    extension->Shared->BoardNumber = MDX_NO_BOARD_NUMBER;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = DeviceControl;
    Require(WdfIoQueueCreate(device_, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
            "WdfIoQueueCreate");
    Require(CreateInterruptObject(extension), "CreateInterruptObject");

    // The board's resources, as a start would hand them over.
    extension->Ports.Base = options.portBase;
    extension->Ports.Length = options.portLength;
    extension->Shared->BaseAddress = options.portBase;
    extension->Shared->PortLength = options.portLength;
    extension->Shared->InterruptLevel = options.interruptVector;
    extension->Shared->InitOnLoad = 1;
    for (auto& edge : extension->Shared->DiintTrigEdge)
        edge = 1;
    extension->Prepared = 1;
    PortSpace::Instance().Attach(options.portBase, Mdx4208Board::kPortRangeLength, board_.get());
    PortSpace::Instance().Assign(reinterpret_cast<wdf::Device*>(device_), options.portBase,
                                 options.portLength);

    auto& controller = InterruptController::Instance();
    controller.SetDeterministic(options.deterministic);
    InterruptLine* line = controller.Line(options.interruptVector);
    board_->SetLineListener([line, board = board_.get()](bool asserted) { line->SetSource(board, asserted); });
    auto* interrupt = reinterpret_cast<wdf::Interrupt*>(extension->InterruptObject);
    Require(interrupt->Connect(line, kDispatch + 3), "interrupt connection");

    devicePath_ = u"\\\\.\\MDX4208#0";
    ObjectNamespace::Instance().Link(KernelPathFromUserPath(devicePath_),
                                     reinterpret_cast<wdf::Device*>(device_));
    reinterpret_cast<wdf::Device*>(device_)->setStarted(true);
}

Testbed::~Testbed()
{
    auto* device = reinterpret_cast<wdf::Device*>(device_);
    device->setStarted(false);
    reinterpret_cast<wdf::Interrupt*>(GetDeviceExtension(device_)->InterruptObject)->Disconnect();
    board_->SetLineListener(nullptr);
    ObjectNamespace::Instance().UnlinkDevice(device);
    PortSpace::Instance().Unassign(device);
    PortSpace::Instance().Detach(board_.get());
    FreeSharedBlock(GetDeviceExtension(device_));
    wdf::Object::Delete(device);
    wdf::Object::Delete(reinterpret_cast<wdf::Object*>(driver_));
    delete driverObject_;
    InterruptController::Instance().Reset();

    if (size_t objects = wdf::LiveObjectCount())
        Verifier::Instance().Report(rule::kObjectLeak, "driver unload", "-",
                                    std::to_string(objects) + " framework objects left");
    if (size_t mdls = LiveMdlCount())
        Verifier::Instance().Report(rule::kMdlLeak, "driver unload", "-",
                                    std::to_string(mdls) + " MDLs left");
    if (LiveKernelObjects() > kernelObjectsAtStart_)
        Verifier::Instance().Report(rule::kReferenceLeak, "driver unload", "-",
                                    std::to_string(LiveKernelObjects() - kernelObjectsAtStart_) +
                                        " kernel objects still referenced");
    if (size_t blocks = PoolOutstanding())
        Verifier::Instance().Report(rule::kPoolLeak, "driver unload", "-",
                                    std::to_string(blocks) + " pool allocations left");
}

_DEVICE_EXTENSION* Testbed::extension() const { return GetDeviceExtension(device_); }

ProcessPtr Testbed::NewProcess(const std::string& name)
{
    return ProcessPtr(new Process(nextProcessId_++, name));
}

}  // namespace sim
