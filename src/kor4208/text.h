// Conversions between the library's UTF-8 strings and the platform's UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kor4208.h"

namespace kor {

// False for text that is not well-formed UTF-8 (overlong forms, surrogates,
// code points above U+10FFFF, cut sequences).
bool Utf8ToUtf16(const char* text, std::u16string* out);

// Up to the first NUL or `length` units; a surrogate without its pair becomes
// U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, size_t length);

// Copies `text` and its NUL into a caller's buffer of `capacity` bytes.
kor_status CopyOut(const std::string& text, char* buffer, size_t capacity);

}  // namespace kor
