// Helpers for tests that look at the board records the driver keeps.
#pragma once

#include <string>
#include <vector>

#include "registry/sim_registry.h"

namespace simtest {

inline const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KORVEX";

inline std::string DeviceKey(unsigned number)
{
    char name[16];
    std::snprintf(name, sizeof name, "Device%03u", number);
    return kServiceKey + "\\" + name;
}

inline std::u16string Utf16(const std::vector<uint8_t>& bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    return text;
}

inline uint32_t Dword(const sim::RegValue& value)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < value.data.size(); ++i)
        v |= uint32_t(value.data[i]) << (8 * i);
    return v;
}

inline uint32_t StoredDword(unsigned board, const std::string& name)
{
    auto value = sim::Registry::Instance().GetValue(DeviceKey(board), name);
    return value ? Dword(*value) : 0xDEADBEEF;
}

}  // namespace simtest
