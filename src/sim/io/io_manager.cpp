#include "io/io_manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "verifier/verifier.h"

namespace sim {
namespace {

std::atomic<uint64_t> gRequestSeed{0x9E3779B97F4A7C15ull};

std::u16string Lower(std::u16string text)
{
    for (auto& c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

constexpr ACCESS_MASK kReadControl = 0x00020000;
constexpr ACCESS_MASK kFileGenericRead = kReadControl | FILE_READ_DATA | FILE_READ_ATTRIBUTES |
                                         0x0008 /* FILE_READ_EA */ | SYNCHRONIZE;
constexpr ACCESS_MASK kFileGenericWrite = kReadControl | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES |
                                          0x0010 /* FILE_WRITE_EA */ | 0x0004 /* FILE_APPEND_DATA */ |
                                          SYNCHRONIZE;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;

}  // namespace

IoFileObject::IoFileObject(wdf::Device* device, wdf::FileObject* file, ACCESS_MASK granted,
                           Process* opener)
    : KObject(FileObjectType()), device_(device), file_(file), openFiles_(device->openFiles()),
      granted_(granted), opener_(opener)
{
}

void IoFileObject::OnLastReference() { wdf::CloseFileOf(openFiles_, device_, file_); }

bool IoFileObject::deviceGone() const
{
    std::lock_guard<std::mutex> lock(openFiles_->mutex);
    return openFiles_->deviceGone;
}

uint8_t StaleByte(uint64_t seed, size_t offset)
{
    uint64_t x = seed + 0x9E3779B97F4A7C15ull * (offset + 1);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x);
}

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | 0x20000000UL);
    if (desired & GENERIC_READ)
        mapped |= kFileGenericRead;
    if (desired & GENERIC_WRITE)
        mapped |= kFileGenericWrite;
    if (desired & GENERIC_ALL)
        mapped |= kFileAllAccess;
    return mapped;
}

ObjectNamespace& ObjectNamespace::Instance()
{
    static auto* instance = new ObjectNamespace();
    return *instance;
}

void ObjectNamespace::Link(const std::u16string& name, wdf::Device* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    names_[Lower(name)] = device;
}

void ObjectNamespace::Unlink(const std::u16string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    names_.erase(Lower(name));
}

void ObjectNamespace::UnlinkDevice(wdf::Device* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = names_.begin(); it != names_.end();)
        it = it->second == device ? names_.erase(it) : std::next(it);
}

wdf::Device* ObjectNamespace::Lookup(const std::u16string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(Lower(name));
    return it == names_.end() ? nullptr : it->second;
}

std::vector<std::u16string> ObjectNamespace::InterfaceLinks(const GUID& classGuid) const
{
    std::vector<std::pair<const wdf::Device*, std::u16string>> found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : names_) {
            for (const auto& iface : entry.second->deviceInterfaces) {
                if (iface.enabled && std::memcmp(&iface.classGuid, &classGuid, sizeof(GUID)) == 0 &&
                    Lower(iface.link) == entry.first)
                    found.emplace_back(entry.second, iface.link);
            }
        }
    }
    std::vector<std::u16string> links;
    for (auto& item : found)
        links.push_back(item.second);
    return links;
}

std::u16string KernelPathFromUserPath(const std::u16string& path)
{
    if (path.rfind(u"\\\\.\\", 0) == 0 || path.rfind(u"\\\\?\\", 0) == 0)
        return u"\\??\\" + path.substr(4);
    return path;
}

NTSTATUS IoOpenFile(const std::u16string& kernelPath, ACCESS_MASK desiredAccess, HANDLE* handle)
{
    CheckIrql("IoOpenFile", kPassive);
    *handle = nullptr;
    wdf::Device* device = ObjectNamespace::Instance().Lookup(kernelPath);
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Process* process = Process::Current();
    ACCESS_MASK granted = MapGenericFileAccess(desiredAccess);
    const WDFDEVICE_INIT& init = device->init();
    auto* file = new wdf::FileObject(device, init.HasFileAttributes ? &init.FileAttributes : nullptr,
                                     granted, process);
    NTSTATUS status = device->CreateFile(file, process);
    if (!NT_SUCCESS(status)) {
        wdf::Object::Delete(file);
        return status;
    }
    auto* object = new IoFileObject(device, file, granted, process);
    *handle = process->InsertHandle(object, granted);
    return STATUS_SUCCESS;
}

IoControlResult IoDeviceControl(HANDLE handle, ULONG ioControlCode, const void* input,
                                ULONG inputLength, void* output, ULONG outputLength,
                                KPROCESSOR_MODE mode)
{
    CheckIrql("IoDeviceControl", kPassive);
    Process* process = Process::Current();
    HandleEntry entry;
    if (!process->ReferenceHandle(handle, &entry))
        return {STATUS_INVALID_HANDLE, 0};
    std::unique_ptr<KObject, void (*)(KObject*)> reference(entry.object,
                                                           [](KObject* o) { o->Dereference(); });
    if (entry.object->type() != FileObjectType())
        return {STATUS_OBJECT_TYPE_MISMATCH, 0};
    auto* file = static_cast<IoFileObject*>(entry.object);
    if (file->deviceGone())
        return {STATUS_NO_SUCH_DEVICE, 0};

    // The code's required access is checked against the handle before the
    // driver sees anything.
    ULONG required = IoctlRequiredAccess(ioControlCode);
    if (((required & FILE_READ_ACCESS) && !(entry.granted & FILE_READ_DATA)) ||
        ((required & FILE_WRITE_ACCESS) && !(entry.granted & FILE_WRITE_DATA)))
        return {STATUS_ACCESS_DENIED, 0};

    // One system buffer of the larger length carries input and output, with
    // guard bytes on both sides.
    const size_t length = std::max(inputLength, outputLength);
    std::vector<uint8_t> storage(length + 2 * kGuardBytes, kGuardFill);
    uint8_t* system = storage.data() + kGuardBytes;
    const uint64_t seed = gRequestSeed.fetch_add(0x632BE59BD9B4E019ull);
    for (size_t i = 0; i < length; ++i)
        system[i] = StaleByte(seed, i);
    if (inputLength && input)
        std::memcpy(system, input, inputLength);

    auto outcome = std::make_shared<wdf::RequestOutcome>();
    auto* request = new wdf::Request(WdfRequestTypeDeviceControl, outcome,
                                     file->device()->requestAttributes());
    request->ioControlCode = ioControlCode;
    request->inputLength = inputLength;
    request->outputLength = outputLength;
    request->systemBuffer = length ? system : nullptr;
    request->file = file->frameworkFile();
    request->requestorMode = mode;
    file->device()->DispatchDeviceControl(request);
    wdf::WaitForOutcome(*outcome);

    bool intact = std::all_of(storage.begin(), storage.begin() + kGuardBytes,
                              [](uint8_t b) { return b == kGuardFill; }) &&
                  std::all_of(storage.end() - kGuardBytes, storage.end(),
                              [](uint8_t b) { return b == kGuardFill; });
    if (!intact) {
        Verifier::Instance().Report(rule::kBufferOverrun, "IoDeviceControl",
                                    DescribeObject(handle),
                                    "the driver wrote outside the system buffer");
    }
    // Output the driver reported must have been written: four bytes in a row
    // still holding the stale pattern past the input were not.
    if (NT_SUCCESS(outcome->status)) {
        size_t end = std::min<size_t>(outcome->information, outputLength);
        size_t run = 0;
        for (size_t i = inputLength; i < end; ++i) {
            run = system[i] == StaleByte(seed, i) ? run + 1 : 0;
            if (run == 4) {
                Verifier::Instance().Report(rule::kStaleOutput, "IoDeviceControl", DescribeObject(handle),
                                            "output bytes reported but never written");
                break;
            }
        }
    }
    // The system buffer is copied back only into an output buffer, and never
    // past its end.
    ULONG information = static_cast<ULONG>(outcome->information);
    if (outputLength) {
        information = std::min(information, outputLength);
        if (information && output)
            std::memcpy(output, system, information);
    }
    return {outcome->status, information};
}

NTSTATUS IoCloseHandle(HANDLE handle)
{
    CheckIrql("IoCloseHandle", kPassive);
    return Process::Current()->CloseHandle(handle);
}

}  // namespace sim
