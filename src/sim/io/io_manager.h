// The I/O manager: the object namespace of device names, file objects, open
// by path with a desired access, device-control requests with buffered
// transfer, and close. Everything runs for the process of the calling thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kobject.h"
#include "wdf/framework.h"

namespace sim {

// A kernel file object opened on a framework device.
class IoFileObject : public KObject {
public:
    IoFileObject(wdf::Device* device, wdf::FileObject* file, ACCESS_MASK granted, Process* opener);
    wdf::Device* device() const { return device_; }
    wdf::FileObject* frameworkFile() const { return file_; }
    ACCESS_MASK granted() const { return granted_; }
    Process* opener() const { return opener_; }
    bool deviceGone() const;

protected:
    void OnLastReference() override;

private:
    wdf::Device* device_;
    wdf::FileObject* file_;
    std::shared_ptr<wdf::Device::OpenFiles> openFiles_;
    ACCESS_MASK granted_;
    Process* opener_;
};

// Maps GENERIC_* rights onto the file rights they stand for.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desired);

class ObjectNamespace {
public:
    static ObjectNamespace& Instance();
    // Names are compared without case. Kernel form: "\??\name" or "\Device\name".
    void Link(const std::u16string& name, wdf::Device* device);
    void Unlink(const std::u16string& name);
    void UnlinkDevice(wdf::Device* device);
    wdf::Device* Lookup(const std::u16string& name) const;
    // The enabled interface links of a class, in the order the devices came.
    std::vector<std::u16string> InterfaceLinks(const GUID& classGuid) const;

private:
    mutable std::mutex mutex_;
    std::map<std::u16string, wdf::Device*> names_;
};

// Turns the user-mode form "\\.\name" into the kernel form "\??\name".
std::u16string KernelPathFromUserPath(const std::u16string& path);

NTSTATUS IoOpenFile(const std::u16string& kernelPath, ACCESS_MASK desiredAccess, HANDLE* handle);

struct IoControlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG information = 0;
};

IoControlResult IoDeviceControl(HANDLE handle, ULONG ioControlCode, const void* input,
                                ULONG inputLength, void* output, ULONG outputLength,
                                KPROCESSOR_MODE mode = UserMode);

NTSTATUS IoCloseHandle(HANDLE handle);

// Bytes placed around every system buffer and checked at completion.
inline constexpr size_t kGuardBytes = 16;
inline constexpr uint8_t kGuardFill = 0xA5;
// System-buffer bytes past the input hold what the pool held before: a
// pattern different for every request, so output the driver reports but
// never wrote is recognised.
uint8_t StaleByte(uint64_t seed, size_t offset);

}  // namespace sim
