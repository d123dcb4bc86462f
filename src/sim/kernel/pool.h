// Pool allocations with accounting by tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Outstanding allocations of one tag (four characters as the driver writes
// them, e.g. "REGP"), or of every tag.
size_t PoolOutstanding(const std::string& tag);
size_t PoolOutstanding();
std::string TagText(uint32_t tag);

// An exception raised by a platform operation; the guarded section catches it.
struct RaisedException {
    int32_t status;
};

}  // namespace sim
