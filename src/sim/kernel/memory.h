// Pages that can be given to user mode: non-paged allocations of whole pages
// are backed by shared-memory files, so a user mapping is the same memory,
// mapped again. Also the memory descriptor lists that describe them.
#pragma once

#include <cstddef>

namespace sim {

// Whole pages backed by a shared-memory file; null when none can be had.
void* AllocateShareablePages(size_t length);
// False when `address` is not the start of such an allocation.
bool FreeShareablePages(void* address);

size_t LiveMdlCount();

}  // namespace sim
