// Kernel services of the simulated platform: levels, pageable-code checks,
// the guarded section, pool and memory helpers.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel/irql.h"
#include "kernel/memory.h"
#include "kernel/pool.h"
#include "platform/nt_kernel.h"
#include "verifier/verifier.h"

namespace sim {
namespace {

struct Allocation {
    uint32_t tag;
    size_t size;
};

struct Pool {
    std::mutex mutex;
    std::map<void*, Allocation> live;
};

Pool& ThePool()
{
    static auto* pool = new Pool();
    return *pool;
}

}  // namespace

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 32 && c < 127 ? c : '?');
    }
    return text;
}

size_t PoolOutstanding(const std::string& tag)
{
    auto& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    size_t n = 0;
    for (const auto& entry : pool.live)
        n += TagText(entry.second.tag) == tag;
    return n;
}

size_t PoolOutstanding()
{
    auto& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.live.size();
}

}  // namespace sim

using namespace sim;

KIRQL NTAPI KeGetCurrentIrql() { return CurrentIrql(); }

VOID NTAPI KeCheckPagedCode(const char* Routine)
{
    if (CurrentIrql() > kApc) {
        Verifier::Instance().Report(rule::kPagedCodeAtDispatch, Routine, "-",
                                    "pageable routine at IRQL " + std::to_string(CurrentIrql()));
    }
}

BOOLEAN NTAPI KeCallGuarded(PGUARDED_ROUTINE Routine, PVOID Context, NTSTATUS* ExceptionCode)
{
    try {
        Routine(Context);
    } catch (const RaisedException& raised) {
        if (ExceptionCode)
            *ExceptionCode = raised.status;
        return TRUE;
    }
    return FALSE;
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    CheckIrql("ExAllocatePoolWithTag", PoolType == PagedPool ? kApc : kDispatch);
    if (Verifier::Instance().ShouldFail("ExAllocatePoolWithTag"))
        return nullptr;
    size_t size = NumberOfBytes ? NumberOfBytes : 1;
    // Whole non-paged pages can be mapped to user mode, so they come from
    // shared-memory files.
    const bool pages = PoolType == NonPagedPool && size % PAGE_SIZE == 0;
    // Exact sizes elsewhere, so a sanitizer sees a write one byte past the end.
    void* memory = pages ? AllocateShareablePages(size)
                 : size >= PAGE_SIZE ? std::aligned_alloc(PAGE_SIZE, (size + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE)
                                     : std::malloc(size);
    if (!memory)
        return nullptr;
    // Fresh pool holds whatever was there before: never zero.
    std::memset(memory, 0xCC, size);
    if (TagText(Tag) == "REGP")
        ++ThisThreadResources().registryBuffers;
    auto& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.live[memory] = Allocation{Tag, size};
    return memory;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    CheckIrql("ExFreePoolWithTag", kDispatch);
    auto& pool = ThePool();
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto it = pool.live.find(P);
        if (it == pool.live.end() || it->second.tag != Tag) {
            Verifier::Instance().Report(rule::kPoolFreeMismatch, "ExFreePoolWithTag",
                                        DescribeObject(P), "tag " + TagText(Tag));
            return;
        }
        pool.live.erase(it);
    }
    if (TagText(Tag) == "REGP")
        --ThisThreadResources().registryBuffers;
    if (!FreeShareablePages(P))
        std::free(P);
}

VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }

VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length)
{
    std::memmove(Destination, Source, Length);
}
