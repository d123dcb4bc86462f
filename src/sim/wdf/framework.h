// The simulated framework's driver, device, queue, request and file objects,
// and the entry points the I/O manager and the PnP manager use to drive them.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/irql.h"
#include "wdf/objects.h"

struct _DRIVER_OBJECT {
    sim::wdf::Object* FrameworkDriver;
};

struct WDFDEVICE_INIT {
    WDF_PNPPOWER_EVENT_CALLBACKS Pnp{};
    bool PowerPageable = false;
    WDF_DEVICE_IO_TYPE IoType = WdfDeviceIoBuffered;
    DEVICE_TYPE DeviceType = 0;
    bool HasFileConfig = false;
    WDF_FILEOBJECT_CONFIG FileConfig{};
    bool HasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES FileAttributes{};
    PDEVICE_OBJECT PhysicalDevice = nullptr;
    PFN_WDF_IO_IN_CALLER_CONTEXT InCallerContext = nullptr;
    void* CreatedDevice = nullptr;  // what WdfDeviceCreate made of this record
    bool HasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES RequestAttributes{};
};

namespace sim {
class Process;
class IoFileObject;
}

namespace sim::wdf {

class Device;

class Driver : public Object {
public:
    Driver(const WDF_OBJECT_ATTRIBUTES* attributes, const WDF_DRIVER_CONFIG& config,
           std::u16string registryPath);
    const WDF_DRIVER_CONFIG& config() const { return config_; }
    std::u16string& registryPath() { return registryPath_; }

protected:
    void OnDelete() override;

private:
    WDF_DRIVER_CONFIG config_;
    std::u16string registryPath_;
};

Driver* CurrentDriver();

class Queue : public Object {
public:
    Queue(Device* device, const WDF_IO_QUEUE_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    const WDF_IO_QUEUE_CONFIG& config() const { return config_; }
    Device* device() const { return device_; }
    bool powerManaged() const { return config_.PowerManaged != WdfFalse; }

private:
    Device* device_;
    WDF_IO_QUEUE_CONFIG config_;
};

// The outcome of a request, owned by whoever sent it; the request object
// itself is gone once the driver completes it.
struct RequestOutcome {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

class FileObject;

class Request : public Object {
public:
    Request(WDF_REQUEST_TYPE type, std::shared_ptr<RequestOutcome> outcome,
            const WDF_OBJECT_ATTRIBUTES* attributes = nullptr);

    WDF_REQUEST_TYPE type;
    ULONG ioControlCode = 0;
    size_t inputLength = 0;
    size_t outputLength = 0;
    uint8_t* systemBuffer = nullptr;  // the transfer buffer, guard bytes outside it
    FileObject* file = nullptr;
    Device* device = nullptr;  // set while the device owes it a completion
    KPROCESSOR_MODE requestorMode = UserMode;
    IO_SECURITY_CONTEXT securityContext{};
    std::shared_ptr<RequestOutcome> outcome;
    bool completed = false;
};

class FileObject : public Object {
public:
    FileObject(Device* device, const WDF_OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access,
               Process* opener);
    Device* device() const { return device_; }
    ACCESS_MASK desiredAccess() const { return access_; }
    Process* opener() const { return opener_; }

private:
    Device* device_;
    ACCESS_MASK access_;
    Process* opener_;
};

class Device : public Object {
public:
    Device(Driver* driver, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes);
    ~Device() override;

    Driver* driver() const { return driver_; }
    const WDFDEVICE_INIT& init() const { return init_; }
    SpinLock& syncLock() { return syncLock_; }
    bool synchronisedWithDevice() const;
    Queue* defaultQueue() const { return defaultQueue_; }
    void setDefaultQueue(Queue* queue) { defaultQueue_ = queue; }

    // Whether the power-managed queue delivers requests.
    bool started() const;
    void setStarted(bool started);

    // Entry points of the I/O path; each runs the driver's callbacks with the
    // framework's locks and levels.
    NTSTATUS CreateFile(FileObject* file, Process* opener);
    // Closes a file whose create succeeded, once: by its last reference, or
    // by the device's deletion if that comes first.
    void CloseFile(FileObject* file);
    // Who may still close files of this device; outlives the device.
    struct OpenFiles {
        std::mutex mutex;
        bool deviceGone = false;
        std::vector<FileObject*> files;
    };
    std::shared_ptr<OpenFiles> openFiles() const { return openFiles_; }
    void DispatchDeviceControl(Request* request);
    // Waits until no request is with the driver's callbacks or handlers.
    void WaitIdle();
    // Hands a request to the default queue (WdfDeviceEnqueueRequest).
    NTSTATUS Enqueue(Request* request);
    const WDF_OBJECT_ATTRIBUTES* requestAttributes() const
    {
        return init_.HasRequestAttributes ? &init_.RequestAttributes : nullptr;
    }

    std::vector<class Interrupt*>& interrupts() { return interrupts_; }

    // The framework's own device object, attached on top of the physical one.
    PDEVICE_OBJECT fdo = nullptr;
    struct Interface {
        GUID classGuid;
        std::u16string link;  // kernel form, "\??\..."
        bool enabled = false;
    };
    std::vector<Interface> deviceInterfaces;
    // A request the driver completed.
    void Forget(Request* request);

protected:
    void OnDelete() override;

private:
    void Deliver(Request* request);

    Driver* driver_;
    WDFDEVICE_INIT init_;
    SpinLock syncLock_;
    Queue* defaultQueue_ = nullptr;
    mutable std::mutex stateMutex_;
    bool started_ = false;
    std::deque<Request*> held_;  // requests waiting for the queue to deliver
    std::vector<Request*> inFlight_;  // dispatched, not yet completed
    std::condition_variable idle_;
    std::vector<class Interrupt*> interrupts_;
    std::shared_ptr<OpenFiles> openFiles_ = std::make_shared<OpenFiles>();
    friend void CloseFileOf(const std::shared_ptr<OpenFiles>&, Device*, FileObject*);
    void RunClose(FileObject* file);
};

// Closes `file` unless its device is gone (it was closed then).
void CloseFileOf(const std::shared_ptr<Device::OpenFiles>& openFiles, Device* device,
                 FileObject* file);

// The device whose callback the current thread is running, if any.
Device* CurrentCallbackDevice();
class DeviceCallbackScope {
public:
    explicit DeviceCallbackScope(Device* device);
    ~DeviceCallbackScope();
    DeviceCallbackScope(const DeviceCallbackScope&) = delete;
    DeviceCallbackScope& operator=(const DeviceCallbackScope&) = delete;

private:
    Device* saved_;
};

// Waits until the request's outcome is known.
void WaitForOutcome(RequestOutcome& outcome);

}  // namespace sim::wdf
