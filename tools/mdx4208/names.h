// Names of statuses and control codes, both ways, for output and for the
// values people type or write in scenarios.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tool {

// "STATUS_OBJECT_NAME_COLLISION", "ERR_OUT_OF_RANGE", "KOR_E_TIMEOUT", or
// "0x..." for a value without a name.
std::string StatusName(int32_t status);
// "ERR_OUT_OF_RANGE (0xE0000001)"
std::string StatusText(int32_t status);
// A name of the table or a number ("0xC0000010", "-1073741808").
std::optional<int32_t> ParseStatus(const std::string& text);

// "IOCTL_READ_PORT", or none for a code outside the driver's table.
std::optional<std::string> ControlCodeName(uint32_t code);
// A name of the table, with or without "IOCTL_", or a number.
std::optional<uint32_t> ParseControlCode(const std::string& text);

}  // namespace tool
