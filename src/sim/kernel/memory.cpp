#include "kernel/memory.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

#include "kernel/irql.h"
#include "kernel/kobject.h"
#include "kernel/pool.h"
#include "platform/nt_kernel.h"
#include "verifier/verifier.h"

struct _MDL {
    PVOID VirtualAddress;
    ULONG Length;
    bool Built;
};

namespace sim {
namespace {

struct Region {
    size_t length;
    int fd;
};

struct Shareable {
    std::mutex mutex;
    std::map<uintptr_t, Region> regions;
};

Shareable& Regions()
{
    static auto* regions = new Shareable();
    return *regions;
}

std::atomic<size_t> gLiveMdls{0};

// The shareable region that holds [address, address + length) in whole, if any.
bool FindRegion(uintptr_t address, size_t length, uintptr_t* base, Region* region)
{
    auto& shared = Regions();
    std::lock_guard<std::mutex> lock(shared.mutex);
    auto it = shared.regions.upper_bound(address);
    if (it == shared.regions.begin())
        return false;
    --it;
    if (address + length > it->first + it->second.length)
        return false;
    *base = it->first;
    *region = it->second;
    return true;
}

}  // namespace

void* AllocateShareablePages(size_t length)
{
    int fd = memfd_create("sim-shared-pages", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
        close(fd);
        return nullptr;
    }
    void* address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto& shared = Regions();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.regions[reinterpret_cast<uintptr_t>(address)] = Region{length, fd};
    return address;
}

bool FreeShareablePages(void* address)
{
    Region region;
    {
        auto& shared = Regions();
        std::lock_guard<std::mutex> lock(shared.mutex);
        auto it = shared.regions.find(reinterpret_cast<uintptr_t>(address));
        if (it == shared.regions.end())
            return false;
        region = it->second;
        shared.regions.erase(it);
    }
    munmap(address, region.length);
    close(region.fd);
    return true;
}

size_t LiveMdlCount() { return gLiveMdls.load(); }

}  // namespace sim

using namespace sim;

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp)
{
    CheckIrql("IoAllocateMdl", kDispatch, VirtualAddress);
    if (Verifier::Instance().ShouldFail("IoAllocateMdl"))
        return nullptr;
    gLiveMdls.fetch_add(1);
    return new _MDL{VirtualAddress, Length, false};
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    CheckIrql("MmBuildMdlForNonPagedPool", kDispatch, Mdl);
    Mdl->Built = true;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    CheckIrql("IoFreeMdl", kDispatch, Mdl);
    gLiveMdls.fetch_sub(1);
    delete Mdl;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority)
{
    CheckIrql("MmMapLockedPagesSpecifyCache", AccessMode == UserMode ? kApc : kDispatch, Mdl);
    auto& verifier = Verifier::Instance();
    switch (verifier.Inject("MmMapLockedPagesSpecifyCache")) {
    case Verifier::FaultKind::Raise: throw RaisedException{STATUS_INSUFFICIENT_RESOURCES};
    case Verifier::FaultKind::Fail: return nullptr;
    case Verifier::FaultKind::None: break;
    }
    if (AccessMode != UserMode)
        return Mdl->VirtualAddress;
    if (!Mdl->Built) {
        verifier.Report(rule::kInvalidHandle, "MmMapLockedPagesSpecifyCache", DescribeObject(Mdl),
                        "the MDL describes no pages yet");
        throw RaisedException{STATUS_INVALID_PARAMETER};
    }
    // Whole pages are mapped: each must have been given for sharing.
    uintptr_t start = reinterpret_cast<uintptr_t>(Mdl->VirtualAddress);
    uintptr_t first = start & ~uintptr_t(PAGE_SIZE - 1);
    uintptr_t last = (start + Mdl->Length + PAGE_SIZE - 1) & ~uintptr_t(PAGE_SIZE - 1);
    uintptr_t base;
    Region region;
    if (!FindRegion(first, last - first, &base, &region)) {
        verifier.Report(rule::kIsolation, "MmMapLockedPagesSpecifyCache", DescribeObject(Mdl),
                        "the MDL's pages hold memory that was not given for sharing");
        throw RaisedException{STATUS_ACCESS_DENIED};
    }
    auto* user = static_cast<uint8_t*>(Process::Current()->MapShared(region.fd, region.length));
    if (!user)
        throw RaisedException{STATUS_INSUFFICIENT_RESOURCES};
    return user + (start - base);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl)
{
    CheckIrql("MmUnmapLockedPages", kDispatch, Mdl);
    uintptr_t address = reinterpret_cast<uintptr_t>(BaseAddress);
    uintptr_t start = reinterpret_cast<uintptr_t>(Mdl->VirtualAddress);
    void* page = reinterpret_cast<void*>(address - (start & (PAGE_SIZE - 1)));
    // A kernel-mode mapping is the pool itself.
    if (BaseAddress == Mdl->VirtualAddress)
        return;
    if (!Process::Current()->Unmap(page)) {
        Verifier::Instance().Report(rule::kUnmapWrongProcess, "MmUnmapLockedPages",
                                    DescribeObject(BaseAddress),
                                    "no such mapping in process " + Process::Current()->name());
    }
}
