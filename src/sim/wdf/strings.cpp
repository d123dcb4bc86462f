// Framework string objects, device interface strings, passive-level wait
// locks, and opening a device by path from kernel mode.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "io/io_manager.h"
#include "kernel/irql.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"

namespace sim::wdf {
namespace {

class String : public Object {
public:
    explicit String(Object* parent) : Object(Kind::String, parent, nullptr) {}
    std::u16string text;
};

class WaitLock : public Object {
public:
    explicit WaitLock(Object* parent) : Object(Kind::SpinLock, parent, nullptr) {}
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
};

Object* ParentOf(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine)
{
    if (attributes && attributes->ParentObject)
        return ResolveAny(attributes->ParentObject, routine);
    return CurrentDriver();
}

}  // namespace
}  // namespace sim::wdf

using namespace sim;
using namespace sim::wdf;

NTSTATUS NTAPI WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                               WDFSTRING* StringHandle)
{
    CheckIrql("WdfStringCreate", kPassive);
    if (!StringHandle || !CheckAttributes(StringAttributes, "WdfStringCreate"))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfStringCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* string = new String(ParentOf(StringAttributes, "WdfStringCreate"));
    if (UnicodeString && UnicodeString->Buffer)
        string->text.assign(UnicodeString->Buffer, UnicodeString->Length / sizeof(WCHAR));
    *StringHandle = reinterpret_cast<WDFSTRING>(string);
    return STATUS_SUCCESS;
}

VOID NTAPI WdfStringGetUnicodeString(WDFSTRING StringHandle, PUNICODE_STRING UnicodeString)
{
    auto* string = ResolveAs<String>(StringHandle, Kind::String, "WdfStringGetUnicodeString");
    if (!string)
        return;
    UnicodeString->Buffer = string->text.data();
    UnicodeString->Length = static_cast<USHORT>(string->text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = static_cast<USHORT>(UnicodeString->Length + sizeof(WCHAR));
}

NTSTATUS NTAPI WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE DeviceHandle, const GUID* InterfaceClassGUID,
                                                      PCUNICODE_STRING ReferenceString, WDFSTRING StringHandle)
{
    CheckIrql("WdfDeviceRetrieveDeviceInterfaceString", kPassive);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfDeviceRetrieveDeviceInterfaceString");
    auto* string = ResolveAs<String>(StringHandle, Kind::String, "WdfDeviceRetrieveDeviceInterfaceString");
    if (!device || !string || !InterfaceClassGUID)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfDeviceRetrieveDeviceInterfaceString"))
        return STATUS_INSUFFICIENT_RESOURCES;
    for (const auto& iface : device->deviceInterfaces) {
        if (std::memcmp(&iface.classGuid, InterfaceClassGUID, sizeof(GUID)) == 0) {
            string->text = iface.link;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    CheckIrql("WdfWaitLockCreate", kDispatch);
    if (!Lock || !CheckAttributes(LockAttributes, "WdfWaitLockCreate"))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfWaitLockCreate"))
        return STATUS_INSUFFICIENT_RESOURCES;
    *Lock = reinterpret_cast<WDFWAITLOCK>(new WaitLock(ParentOf(LockAttributes, "WdfWaitLockCreate")));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfWaitLockAcquire(WDFWAITLOCK LockHandle, PLARGE_INTEGER Timeout)
{
    CheckIrql("WdfWaitLockAcquire", kPassive, LockHandle);
    auto* lock = ResolveAs<WaitLock>(LockHandle, Kind::SpinLock, "WdfWaitLockAcquire");
    if (!lock)
        return STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> guard(lock->mutex);
    lock->released.wait(guard, [lock] { return !lock->held; });
    lock->held = true;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfWaitLockRelease(WDFWAITLOCK LockHandle)
{
    auto* lock = ResolveAs<WaitLock>(LockHandle, Kind::SpinLock, "WdfWaitLockRelease");
    if (!lock)
        return;
    {
        std::lock_guard<std::mutex> guard(lock->mutex);
        lock->held = false;
    }
    lock->released.notify_one();
}

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    CheckIrql("ZwCreateFile", kPassive);
    *FileHandle = nullptr;
    if (!ObjectAttributes || !ObjectAttributes->ObjectName || !ObjectAttributes->ObjectName->Buffer)
        return STATUS_OBJECT_NAME_INVALID;
    if (CreateDisposition != FILE_OPEN)
        return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    std::u16string path(name->Buffer, name->Length / sizeof(WCHAR));
    NTSTATUS status = IoOpenFile(path, DesiredAccess, FileHandle);
    if (IoStatusBlock) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = 0;
    }
    return status;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    CheckIrql("ZwClose", kPassive);
    return Process::Current()->CloseHandle(Handle);
}
