// Counted strings, number conversions and the bounded wide formatter, as the
// driver uses them to build key and value names.
#include <cstdarg>
#include <cstdint>
#include <string>

#include "kernel/irql.h"
#include "platform/nt_registry.h"

namespace {

// The bounded formatters' limit on a destination, in characters.
constexpr size_t kMaxChars = 0x7FFFFFFF;
constexpr USHORT kMaxCountedBytes = 0xFFFE;

constexpr char16_t kDigits[] = u"0123456789ABCDEF";

bool ValidBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

std::u16string Digits(uint64_t value, unsigned base, bool lower)
{
    std::u16string digits;
    do {
        char16_t digit = kDigits[value % base];
        if (lower && digit >= u'A')
            digit = static_cast<char16_t>(digit - u'A' + u'a');
        digits.insert(digits.begin(), digit);
        value /= base;
    } while (value);
    return digits;
}

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    bool plus = false;
    bool space = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    int size = 32;  // argument size in bits for integers
};

// Pads `body` (after `prefix`, a sign) to the conversion's width.
std::u16string Pad(const Conversion& c, std::u16string prefix, std::u16string body, bool numeric)
{
    size_t length = prefix.size() + body.size();
    if (length >= c.width)
        return prefix + body;
    std::u16string fill(c.width - length, u' ');
    if (c.leftAlign)
        return prefix + body + fill;
    if (c.zeroPad && numeric && !c.hasPrecision)
        return prefix + std::u16string(fill.size(), u'0') + body;
    return fill + prefix + body;
}

// Expands one format; false on a conversion the formatter does not know.
bool Expand(const char16_t* format, va_list args, std::u16string* out)
{
    for (const char16_t* p = format; *p; ++p) {
        if (*p != u'%') {
            out->push_back(*p);
            continue;
        }
        Conversion c;
        for (++p;; ++p) {
            if (*p == u'-') c.leftAlign = true;
            else if (*p == u'0') c.zeroPad = true;
            else if (*p == u'+') c.plus = true;
            else if (*p == u' ') c.space = true;
            else if (*p == u'#') {}
            else break;
        }
        if (*p == u'*') {
            int width = va_arg(args, int);
            c.leftAlign |= width < 0;
            c.width = static_cast<size_t>(width < 0 ? -width : width);
            ++p;
        }
        for (; *p >= u'0' && *p <= u'9'; ++p)
            c.width = c.width * 10 + (*p - u'0');
        if (*p == u'.') {
            c.hasPrecision = true;
            for (++p; *p >= u'0' && *p <= u'9'; ++p)
                c.precision = c.precision * 10 + (*p - u'0');
        }
        // Sizes as the target has them: l is 32 bits, ll and I64 are 64.
        if (p[0] == u'l' && p[1] == u'l') { c.size = 64; p += 2; }
        else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') { c.size = 64; p += 3; }
        else if (*p == u'l') { ++p; }
        else if (*p == u'h') { c.size = 16; ++p; }
        else if (*p == u'w') { ++p; }
        switch (*p) {
        case u'%':
            out->push_back(u'%');
            break;
        case u'c':
            out->append(Pad(c, u"", std::u16string(1, static_cast<char16_t>(va_arg(args, int))),
                            false));
            break;
        case u's': {
            // %s and %ws take a wide string in the wide formatter, %hs a narrow one.
            std::u16string body = u"(null)";
            if (c.size == 16) {
                if (const auto* narrow = va_arg(args, const unsigned char*))
                    body.assign(narrow, narrow + std::char_traits<char>::length(
                                                     reinterpret_cast<const char*>(narrow)));
            } else if (const auto* text = va_arg(args, const char16_t*)) {
                body = text;
            }
            if (c.hasPrecision && body.size() > c.precision)
                body.resize(c.precision);
            out->append(Pad(c, u"", body, false));
            break;
        }
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X': {
            const bool isSigned = *p == u'd' || *p == u'i';
            uint64_t magnitude;
            bool negative = false;
            if (c.size == 64) {
                uint64_t raw = va_arg(args, uint64_t);
                negative = isSigned && static_cast<int64_t>(raw) < 0;
                magnitude = negative ? 0 - raw : raw;
            } else {
                uint32_t raw = va_arg(args, uint32_t);
                if (c.size == 16)
                    raw = isSigned ? static_cast<uint32_t>(static_cast<int16_t>(raw))
                                   : static_cast<uint16_t>(raw);
                negative = isSigned && static_cast<int32_t>(raw) < 0;
                magnitude = negative ? 0u - raw : raw;
                magnitude &= 0xFFFFFFFFu;
            }
            unsigned base = *p == u'x' || *p == u'X' ? 16 : 10;
            std::u16string body = Digits(magnitude, base, *p == u'x');
            if (c.hasPrecision && body.size() < c.precision)
                body.insert(0, c.precision - body.size(), u'0');
            std::u16string sign = negative ? u"-" : isSigned && c.plus ? u"+"
                                                  : isSigned && c.space ? u" " : u"";
            out->append(Pad(c, sign, body, true));
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

}  // namespace

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    sim::CheckIrql("RtlInitUnicodeString", sim::kDispatch);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::char_traits<char16_t>::length(SourceString) * 2;
    if (bytes > kMaxCountedBytes - 2)
        bytes = kMaxCountedBytes - 2;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 2);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    sim::CheckIrql("RtlIntegerToUnicodeString", sim::kPassive);
    if (Base == 0)
        Base = 10;
    if (!String || !ValidBase(Base))
        return STATUS_INVALID_PARAMETER;
    std::u16string digits = Digits(Value, Base, false);
    const size_t bytes = digits.size() * 2;
    if (bytes > String->MaximumLength || !String->Buffer)
        return STATUS_BUFFER_OVERFLOW;
    digits.copy(String->Buffer, digits.size());
    if (bytes + 2 <= String->MaximumLength)
        String->Buffer[digits.size()] = u'\0';
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    sim::CheckIrql("RtlUnicodeStringToInteger", sim::kPassive);
    if (!String || !Value || (Base != 0 && !ValidBase(Base)))
        return STATUS_INVALID_PARAMETER;
    const char16_t* p = String->Buffer;
    const char16_t* end = p + String->Length / 2;
    while (p < end && *p <= u' ')
        ++p;
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-'))
        negative = *p++ == u'-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            switch (p[1]) {
            case u'x': Base = 16; p += 2; break;
            case u'o': Base = 8; p += 2; break;
            case u'b': Base = 2; p += 2; break;
            default: break;
            }
        }
    }
    ULONG result = 0;
    bool anyDigit = false;
    for (; p < end; ++p) {
        char16_t c = *p;
        unsigned digit = c >= u'0' && c <= u'9'   ? c - u'0'
                         : c >= u'a' && c <= u'f' ? c - u'a' + 10
                         : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                  : 16;
        if (digit >= Base)
            break;
        result = result * Base + digit;
        anyDigit = true;
    }
    if (!anyDigit)
        return STATUS_INVALID_PARAMETER;
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbPrintfW(PWSTR Destination, size_t DestinationBytes, PCWSTR Format, ...)
{
    sim::CheckIrql("RtlStringCbPrintfW", sim::kDispatch);
    const size_t capacity = DestinationBytes / sizeof(WCHAR);
    if (!Destination || capacity == 0 || capacity > kMaxChars)
        return STATUS_INVALID_PARAMETER;
    if (!Format) {
        Destination[0] = u'\0';
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string text;
    va_list args;
    va_start(args, Format);
    bool known = Expand(Format, args, &text);
    va_end(args);
    if (!known) {
        Destination[0] = u'\0';
        return STATUS_INVALID_PARAMETER;
    }
    const bool fits = text.size() < capacity;
    const size_t written = fits ? text.size() : capacity - 1;
    text.copy(Destination, written);
    Destination[written] = u'\0';
    return fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR String, size_t MaxChars, size_t* Length)
{
    sim::CheckIrql("RtlStringCchLengthW", sim::kDispatch);
    if (String && MaxChars <= kMaxChars) {
        for (size_t n = 0; n < MaxChars; ++n) {
            if (String[n] == u'\0') {
                if (Length)
                    *Length = n;
                return STATUS_SUCCESS;
            }
        }
    }
    if (Length)
        *Length = 0;
    return STATUS_INVALID_PARAMETER;
}
