#include "text.h"

#include <cstring>

namespace kor {

namespace {

// Length of the sequence a lead byte starts and the bits it carries; 0 for a
// byte that cannot lead.
unsigned SequenceLength(uint8_t lead, char32_t* bits)
{
    if (lead < 0x80) {
        *bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        *bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        *bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        *bits = lead & 0x07;
        return 4;
    }
    return 0;
}

void AppendUtf8(char32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool Utf8ToUtf16(const char* text, std::u16string* out)
{
    out->clear();
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    while (*bytes) {
        char32_t code;
        unsigned length = SequenceLength(*bytes, &code);
        if (length == 0)
            return false;
        for (unsigned i = 1; i < length; ++i) {
            if ((bytes[i] & 0xC0) != 0x80)
                return false;  // also stops at the NUL of a cut sequence
            code = (code << 6) | (bytes[i] & 0x3F);
        }
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
        bytes += length;
    }
    return true;
}

std::string Utf16ToUtf8(const char16_t* text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length && text[i]; ++i) {
        char32_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00), &out);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(0xFFFD, &out);
        } else {
            AppendUtf8(unit, &out);
        }
    }
    return out;
}

kor_status CopyOut(const std::string& text, char* buffer, size_t capacity)
{
    if (text.size() + 1 > capacity)
        return KOR_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return KOR_OK;
}

}  // namespace kor
