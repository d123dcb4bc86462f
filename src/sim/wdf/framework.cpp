#include "wdf/framework.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "kernel/kobject.h"
#include "pnp/device_object.h"
#include "verifier/verifier.h"

namespace sim::wdf {
namespace {

std::mutex gDriverMutex;
Driver* gDriver = nullptr;

// Addresses of requests completed recently, so a later use is named for what
// it is rather than as an unknown handle.
struct CompletedRequests {
    std::mutex mutex;
    std::unordered_set<const void*> set;
    std::deque<const void*> order;
};
CompletedRequests& Completed()
{
    static auto* completed = new CompletedRequests();
    return *completed;
}

void RememberCompleted(const void* request)
{
    auto& c = Completed();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.set.insert(request).second)
        c.order.push_back(request);
    if (c.order.size() > 4096) {
        c.set.erase(c.order.front());
        c.order.pop_front();
    }
}

void ForgetCompleted(const void* request)
{
    auto& c = Completed();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.set.erase(request);
}

bool WasCompleted(const void* request)
{
    auto& c = Completed();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.set.count(request) != 0;
}

Request* ResolveRequest(WDFREQUEST handle, const char* routine, bool completing = false)
{
    if (auto* request = static_cast<Request*>(Find(handle, Kind::Request)))
        return request;
    if (WasCompleted(handle)) {
        Verifier::Instance().Report(
            completing ? rule::kRequestCompletedTwice : rule::kRequestUsedAfterCompletion,
            routine, DescribeObject(handle));
        return nullptr;
    }
    return ResolveAs<Request>(handle, Kind::Request, routine);
}

void FinishRequest(Request* request, NTSTATUS status, ULONG_PTR information, const char* routine)
{
    // With no output buffer nothing is copied back and the count only informs
    // the caller; with one, a larger count would overrun it.
    if (NT_SUCCESS(status) && request->type == WdfRequestTypeDeviceControl &&
        request->outputLength != 0 && information > request->outputLength) {
        Verifier::Instance().Report(rule::kRequestInformationTooLarge, routine,
                                    DescribeObject(request),
                                    std::to_string(information) + " bytes reported, output is " +
                                        std::to_string(request->outputLength));
    }
    request->completed = true;
    if (request->device)
        request->device->Forget(request);
    auto outcome = request->outcome;
    RememberCompleted(request);
    Object::Delete(request);
    {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->status = status;
        outcome->information = NT_SUCCESS(status) ? information : 0;
        outcome->completed = true;
    }
    outcome->done.notify_all();
}

thread_local Device* tCallbackDevice = nullptr;

}  // namespace

Device* CurrentCallbackDevice() { return tCallbackDevice; }
DeviceCallbackScope::DeviceCallbackScope(Device* device) : saved_(tCallbackDevice)
{
    tCallbackDevice = device;
}
DeviceCallbackScope::~DeviceCallbackScope() { tCallbackDevice = saved_; }

Driver::Driver(const WDF_OBJECT_ATTRIBUTES* attributes, const WDF_DRIVER_CONFIG& config,
               std::u16string registryPath)
    : Object(Kind::Driver, nullptr, attributes), config_(config), registryPath_(std::move(registryPath))
{
}

void Driver::OnDelete()
{
    std::lock_guard<std::mutex> lock(gDriverMutex);
    if (gDriver == this)
        gDriver = nullptr;
}

Driver* CurrentDriver()
{
    std::lock_guard<std::mutex> lock(gDriverMutex);
    return gDriver;
}

Queue::Queue(Device* device, const WDF_IO_QUEUE_CONFIG& config,
             const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(Kind::Queue, device, attributes), device_(device), config_(config)
{
}

Request::Request(WDF_REQUEST_TYPE requestType, std::shared_ptr<RequestOutcome> requestOutcome,
                 const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(Kind::Request, nullptr, attributes), type(requestType), outcome(std::move(requestOutcome))
{
    ForgetCompleted(this);
}

FileObject::FileObject(Device* device, const WDF_OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access,
                       Process* opener)
    : Object(Kind::FileObject, device, attributes), device_(device), access_(access), opener_(opener)
{
}

Device::Device(Driver* driver, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(Kind::Device, driver, attributes), driver_(driver), init_(init),
      syncLock_("device synchronisation lock", kDispatch, 1)
{
}

Device::~Device() = default;

bool Device::synchronisedWithDevice() const
{
    return synchronizationScope() == WdfSynchronizationScopeDevice;
}

bool Device::started() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return started_;
}

void Device::setStarted(bool started)
{
    std::deque<Request*> release;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        started_ = started;
        if (started)
            release.swap(held_);
    }
    for (Request* request : release)
        Deliver(request);
}

void Device::Forget(Request* request)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        inFlight_.erase(std::remove(inFlight_.begin(), inFlight_.end(), request), inFlight_.end());
        request->device = nullptr;
    }
    idle_.notify_all();
}

void Device::WaitIdle()
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    // Requests held by the stopped queue do not count: the driver has not
    // seen them.
    idle_.wait(lock, [this] { return inFlight_.size() <= held_.size(); });
}

void Device::OnDelete()
{
    std::vector<Request*> open;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        // Held requests are in flight too.
        open = inFlight_;
        held_.clear();
    }
    for (Request* request : open) {
        Verifier::Instance().Report(rule::kRequestNotCompleted, "device deletion",
                                    DescribeObject(request), "still open when the device went");
        FinishRequest(request, STATUS_NO_SUCH_DEVICE, 0, "device deletion");
    }
    // Handles still open lose their file now; their later close finds the
    // device gone and does nothing.
    std::vector<FileObject*> files;
    {
        std::lock_guard<std::mutex> lock(openFiles_->mutex);
        openFiles_->deviceGone = true;
        files.swap(openFiles_->files);
    }
    for (FileObject* file : files)
        RunClose(file);
    if (fdo) {
        fdo->LowerDevice->AttachedDevice = nullptr;
        fdo->Dereference();
        fdo = nullptr;
    }
}

NTSTATUS Device::CreateFile(FileObject* file, Process* opener)
{
    auto outcome = std::make_shared<RequestOutcome>();
    auto* request = new Request(WdfRequestTypeCreate, outcome, requestAttributes());
    request->file = file;
    request->securityContext.DesiredAccess = file->desiredAccess();
    IrqlScope passive(kPassive);
    DeviceCallbackScope callbackDevice(this);
    if (init_.HasFileConfig && init_.FileConfig.EvtDeviceFileCreate) {
        CallbackFrame frame("EvtDeviceFileCreate", file);
        init_.FileConfig.EvtDeviceFileCreate(reinterpret_cast<WDFDEVICE>(this),
                                             reinterpret_cast<WDFREQUEST>(request),
                                             reinterpret_cast<WDFFILEOBJECT>(file));
    } else {
        FinishRequest(request, STATUS_SUCCESS, 0, "framework create");
    }
    WaitForOutcome(*outcome);
    if (NT_SUCCESS(outcome->status)) {
        std::lock_guard<std::mutex> lock(openFiles_->mutex);
        openFiles_->files.push_back(file);
    }
    return outcome->status;
}

void Device::CloseFile(FileObject* file) { CloseFileOf(openFiles_, this, file); }

void CloseFileOf(const std::shared_ptr<Device::OpenFiles>& openFiles, Device* device,
                 FileObject* file)
{
    {
        std::lock_guard<std::mutex> lock(openFiles->mutex);
        auto& files = openFiles->files;
        auto it = std::find(files.begin(), files.end(), file);
        if (openFiles->deviceGone || it == files.end())
            return;
        files.erase(it);
    }
    device->RunClose(file);
}

void Device::RunClose(FileObject* file)
{
    IrqlScope passive(kPassive);
    DeviceCallbackScope callbackDevice(this);
    if (init_.HasFileConfig && init_.FileConfig.EvtFileClose) {
        CallbackFrame frame("EvtFileClose", file);
        init_.FileConfig.EvtFileClose(reinterpret_cast<WDFFILEOBJECT>(file));
    }
    Object::Delete(file);
}

void Device::DispatchDeviceControl(Request* request)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        request->device = this;
        inFlight_.push_back(request);
    }
    if (init_.InCallerContext) {
        DeviceCallbackScope callbackDevice(this);
        CallbackFrame frame("EvtIoInCallerContext", request);
        init_.InCallerContext(reinterpret_cast<WDFDEVICE>(this), reinterpret_cast<WDFREQUEST>(request));
        return;
    }
    NTSTATUS status = Enqueue(request);
    if (!NT_SUCCESS(status))
        FinishRequest(request, status, 0, "framework dispatch");
}

NTSTATUS Device::Enqueue(Request* request)
{
    if (!defaultQueue_ || !defaultQueue_->config().EvtIoDeviceControl)
        return STATUS_INVALID_DEVICE_REQUEST;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (defaultQueue_->powerManaged() && !started_) {
            held_.push_back(request);
            // A stop waiting for the driver to go idle counts held requests out.
            idle_.notify_all();
            return STATUS_SUCCESS;
        }
    }
    Deliver(request);
    return STATUS_SUCCESS;
}

void Device::Deliver(Request* request)
{
    DeviceCallbackScope callbackDevice(this);
    const bool serialised = synchronisedWithDevice();
    if (serialised)
        syncLock_.Acquire("framework: EvtIoDeviceControl");
    {
        CallbackFrame frame("EvtIoDeviceControl", request);
        defaultQueue_->config().EvtIoDeviceControl(
            reinterpret_cast<WDFQUEUE>(defaultQueue_), reinterpret_cast<WDFREQUEST>(request),
            request->outputLength, request->inputLength, request->ioControlCode);
    }
    if (serialised)
        syncLock_.Release("framework: EvtIoDeviceControl");
}

void WaitForOutcome(RequestOutcome& outcome)
{
    std::unique_lock<std::mutex> lock(outcome.mutex);
    outcome.done.wait(lock, [&] { return outcome.completed; });
}

}  // namespace sim::wdf

using namespace sim;
using namespace sim::wdf;

// ---- objects ------------------------------------------------------------------

PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    Object* object = ResolveAny(Handle, "WdfObjectGetTypedContextWorker");
    if (!object)
        return nullptr;
    if (!TypeInfo || object->contextType() != TypeInfo->UniqueType) {
        Verifier::Instance().Report(rule::kWrongContextType, "WdfObjectGetTypedContextWorker",
                                    DescribeObject(Handle),
                                    TypeInfo ? TypeInfo->ContextName : "(no type)");
        return nullptr;
    }
    return object->context();
}

VOID NTAPI WdfObjectDelete(WDFOBJECT Object)
{
    CheckIrql("WdfObjectDelete", kDispatch, Object);
    sim::wdf::Object* object = ResolveAny(Object, "WdfObjectDelete");
    if (!object)
        return;
    if (object->kind() == Kind::Request || object->kind() == Kind::Device ||
        object->kind() == Kind::Queue || object->kind() == Kind::FileObject) {
        Verifier::Instance().Report(rule::kInvalidHandle, "WdfObjectDelete", DescribeObject(Object),
                                    std::string("the framework owns this ") +
                                        KindName(object->kind()));
        return;
    }
    sim::wdf::Object::Delete(object);
}

static SpinLock* LockOf(WDFOBJECT Object, const char* routine)
{
    auto* device = static_cast<Device*>(Find(Object, Kind::Device));
    if (!device) {
        Verifier::Instance().Report(rule::kInvalidHandle, routine, DescribeObject(Object),
                                    "only a device's lock is used");
        return nullptr;
    }
    return &device->syncLock();
}

VOID NTAPI WdfObjectAcquireLock(WDFOBJECT Object)
{
    CheckIrql("WdfObjectAcquireLock", kDispatch, Object);
    if (SpinLock* lock = LockOf(Object, "WdfObjectAcquireLock"))
        lock->Acquire("WdfObjectAcquireLock");
}

VOID NTAPI WdfObjectReleaseLock(WDFOBJECT Object)
{
    if (SpinLock* lock = LockOf(Object, "WdfObjectReleaseLock"))
        lock->Release("WdfObjectReleaseLock");
}

// ---- driver ---------------------------------------------------------------------

NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                               PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                               PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* DriverHandle)
{
    CheckIrql("WdfDriverCreate", kPassive);
    if (!CheckAttributes(DriverAttributes, "WdfDriverCreate") || !DriverConfig ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfDriverCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string path;
    if (RegistryPath && RegistryPath->Buffer)
        path.assign(RegistryPath->Buffer, RegistryPath->Length / sizeof(WCHAR));
    auto* driver = new Driver(DriverAttributes, *DriverConfig, std::move(path));
    {
        std::lock_guard<std::mutex> lock(gDriverMutex);
        gDriver = driver;
    }
    if (DriverObject)
        DriverObject->FrameworkDriver = driver;
    if (DriverHandle)
        *DriverHandle = reinterpret_cast<WDFDRIVER>(driver);
    return STATUS_SUCCESS;
}

WDFDRIVER NTAPI WdfGetDriver() { return reinterpret_cast<WDFDRIVER>(CurrentDriver()); }

PWSTR NTAPI WdfDriverGetRegistryPath(WDFDRIVER DriverHandle)
{
    auto* driver = ResolveAs<Driver>(DriverHandle, Kind::Driver, "WdfDriverGetRegistryPath");
    return driver ? driver->registryPath().data() : nullptr;
}

// ---- device initialisation --------------------------------------------------------

VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                  PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    CheckIrql("WdfDeviceInitSetPnpPowerEventCallbacks", kPassive);
    if (Callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS))
        Verifier::Instance().Report(rule::kInvalidHandle, "WdfDeviceInitSetPnpPowerEventCallbacks",
                                    DescribeObject(Callbacks), "record of a wrong size");
    DeviceInit->Pnp = *Callbacks;
}

VOID NTAPI WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit)
{
    CheckIrql("WdfDeviceInitSetPowerPageable", kPassive);
    DeviceInit->PowerPageable = true;
}

VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    CheckIrql("WdfDeviceInitSetIoType", kPassive);
    DeviceInit->IoType = IoType;
}

VOID NTAPI WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    CheckIrql("WdfDeviceInitSetDeviceType", kPassive);
    DeviceInit->DeviceType = DeviceType;
}

VOID NTAPI WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                            PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    CheckIrql("WdfDeviceInitSetFileObjectConfig", kPassive);
    CheckAttributes(FileObjectAttributes, "WdfDeviceInitSetFileObjectConfig");
    DeviceInit->HasFileConfig = FileObjectConfig != nullptr;
    if (FileObjectConfig)
        DeviceInit->FileConfig = *FileObjectConfig;
    DeviceInit->HasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes)
        DeviceInit->FileAttributes = *FileObjectAttributes;
}

NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                               WDFDEVICE* DeviceHandle)
{
    CheckIrql("WdfDeviceCreate", kPassive);
    if (!DeviceInit || !*DeviceInit || !CheckAttributes(DeviceAttributes, "WdfDeviceCreate"))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfDeviceCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    Driver* driver = CurrentDriver();
    auto* device = new Device(driver, **DeviceInit, DeviceAttributes);
    (*DeviceInit)->CreatedDevice = device;
    if (PDEVICE_OBJECT pdo = device->init().PhysicalDevice) {
        device->fdo = new _DEVICE_OBJECT(nullptr);
        device->fdo->LowerDevice = pdo;
        pdo->AttachedDevice = device->fdo;
    }
    *DeviceInit = nullptr;
    *DeviceHandle = reinterpret_cast<WDFDEVICE>(device);
    return STATUS_SUCCESS;
}

VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext)
{
    CheckIrql("WdfDeviceInitSetIoInCallerContextCallback", kPassive);
    DeviceInit->InCallerContext = EvtIoInCallerContext;
}

VOID NTAPI WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                             PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    CheckIrql("WdfDeviceInitSetRequestAttributes", kPassive);
    CheckAttributes(RequestAttributes, "WdfDeviceInitSetRequestAttributes");
    DeviceInit->HasRequestAttributes = RequestAttributes != nullptr;
    if (RequestAttributes)
        DeviceInit->RequestAttributes = *RequestAttributes;
}

NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE DeviceHandle, WDFREQUEST RequestHandle)
{
    CheckIrql("WdfDeviceEnqueueRequest", kDispatch);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfDeviceEnqueueRequest");
    Request* request = ResolveRequest(RequestHandle, "WdfDeviceEnqueueRequest");
    if (!device || !request)
        return STATUS_INVALID_PARAMETER;
    return device->Enqueue(request);
}

WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObjectHandle)
{
    auto* file = ResolveAs<FileObject>(FileObjectHandle, Kind::FileObject, "WdfFileObjectGetDevice");
    return file ? reinterpret_cast<WDFDEVICE>(file->device()) : nullptr;
}

// ---- queues -------------------------------------------------------------------------

NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE DeviceHandle, PWDF_IO_QUEUE_CONFIG Config,
                                PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* QueueHandle)
{
    CheckIrql("WdfIoQueueCreate", kDispatch);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfIoQueueCreate");
    if (!device || !Config || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        !CheckAttributes(QueueAttributes, "WdfIoQueueCreate"))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfIoQueueCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* queue = new Queue(device, *Config, QueueAttributes);
    if (Config->DefaultQueue)
        device->setDefaultQueue(queue);
    if (QueueHandle)
        *QueueHandle = reinterpret_cast<WDFQUEUE>(queue);
    return STATUS_SUCCESS;
}

WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE QueueHandle)
{
    auto* queue = ResolveAs<Queue>(QueueHandle, Kind::Queue, "WdfIoQueueGetDevice");
    return queue ? reinterpret_cast<WDFDEVICE>(queue->device()) : nullptr;
}

// ---- requests -------------------------------------------------------------------------

VOID NTAPI WdfRequestGetParameters(WDFREQUEST RequestHandle, PWDF_REQUEST_PARAMETERS Parameters)
{
    CheckIrql("WdfRequestGetParameters", kDispatch);
    Request* request = ResolveRequest(RequestHandle, "WdfRequestGetParameters");
    if (!request || !Parameters)
        return;
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS))
        Verifier::Instance().Report(rule::kInvalidHandle, "WdfRequestGetParameters",
                                    DescribeObject(Parameters), "record of a wrong size");
    Parameters->Type = request->type;
    if (request->type == WdfRequestTypeCreate) {
        Parameters->Parameters.Create.SecurityContext = &request->securityContext;
    } else if (request->type == WdfRequestTypeDeviceControl) {
        Parameters->Parameters.DeviceIoControl.IoControlCode = request->ioControlCode;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = request->inputLength;
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = request->outputLength;
    }
}

static NTSTATUS RetrieveBuffer(WDFREQUEST RequestHandle, SIZE_T Minimum, PVOID* Buffer,
                               SIZE_T* Length, bool output, const char* routine)
{
    CheckIrql(routine, kDispatch);
    if (Buffer)
        *Buffer = nullptr;
    Request* request = ResolveRequest(RequestHandle, routine);
    if (!request)
        return STATUS_INVALID_PARAMETER;
    if (request->type != WdfRequestTypeDeviceControl)
        return STATUS_INVALID_DEVICE_REQUEST;
    size_t length = output ? request->outputLength : request->inputLength;
    if (length == 0 || !request->systemBuffer || length < Minimum)
        return STATUS_BUFFER_TOO_SMALL;
    if (Buffer)
        *Buffer = request->systemBuffer;
    if (Length)
        *Length = length;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request, SIZE_T MinimumRequiredLength,
                                             PVOID* Buffer, SIZE_T* Length)
{
    return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false,
                          "WdfRequestRetrieveInputBuffer");
}

NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, SIZE_T MinimumRequiredSize,
                                              PVOID* Buffer, SIZE_T* Length)
{
    return RetrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, true,
                          "WdfRequestRetrieveOutputBuffer");
}

WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST RequestHandle)
{
    CheckIrql("WdfRequestGetFileObject", kDispatch);
    Request* request = ResolveRequest(RequestHandle, "WdfRequestGetFileObject");
    return request ? reinterpret_cast<WDFFILEOBJECT>(request->file) : nullptr;
}

KPROCESSOR_MODE NTAPI WdfRequestGetRequestorMode(WDFREQUEST RequestHandle)
{
    CheckIrql("WdfRequestGetRequestorMode", kDispatch);
    Request* request = ResolveRequest(RequestHandle, "WdfRequestGetRequestorMode");
    return request ? request->requestorMode : static_cast<KPROCESSOR_MODE>(KernelMode);
}

VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST RequestHandle, NTSTATUS Status,
                                             ULONG_PTR Information)
{
    CheckIrql("WdfRequestCompleteWithInformation", kDispatch);
    Request* request = ResolveRequest(RequestHandle, "WdfRequestCompleteWithInformation", true);
    if (request)
        FinishRequest(request, Status, Information, "WdfRequestCompleteWithInformation");
}

VOID NTAPI WdfRequestComplete(WDFREQUEST RequestHandle, NTSTATUS Status)
{
    CheckIrql("WdfRequestComplete", kDispatch);
    Request* request = ResolveRequest(RequestHandle, "WdfRequestComplete", true);
    if (request)
        FinishRequest(request, Status, 0, "WdfRequestComplete");
}

// ---- spin locks -------------------------------------------------------------------------

namespace sim::wdf {
class FrameworkSpinLock : public Object {
public:
    FrameworkSpinLock(Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes)
        : Object(Kind::SpinLock, parent, attributes), lock("framework spin lock")
    {
    }
    SpinLock lock;
};
}  // namespace sim::wdf

NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLockHandle)
{
    CheckIrql("WdfSpinLockCreate", kDispatch);
    if (!CheckAttributes(SpinLockAttributes, "WdfSpinLockCreate") || !SpinLockHandle)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfSpinLockCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    sim::wdf::Object* parent = SpinLockAttributes && SpinLockAttributes->ParentObject
                                   ? ResolveAny(SpinLockAttributes->ParentObject, "WdfSpinLockCreate")
                                   : CurrentDriver();
    *SpinLockHandle = reinterpret_cast<WDFSPINLOCK>(new FrameworkSpinLock(parent, SpinLockAttributes));
    return STATUS_SUCCESS;
}

VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLockHandle)
{
    CheckIrql("WdfSpinLockAcquire", kDispatch, SpinLockHandle);
    if (auto* lock = ResolveAs<FrameworkSpinLock>(SpinLockHandle, Kind::SpinLock, "WdfSpinLockAcquire"))
        lock->lock.Acquire("WdfSpinLockAcquire");
}

VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLockHandle)
{
    if (auto* lock = ResolveAs<FrameworkSpinLock>(SpinLockHandle, Kind::SpinLock, "WdfSpinLockRelease"))
        lock->lock.Release("WdfSpinLockRelease");
}
