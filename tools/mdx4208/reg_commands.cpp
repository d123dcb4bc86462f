#include "reg_commands.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>

#include "json_reader.h"
#include "session.h"
#include "tool_error.h"

namespace tool {

namespace {

constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7, kRegQword = 11;

std::string Utf16ToUtf8(const std::vector<uint8_t>& data, size_t begin, size_t end)
{
    std::string out;
    for (size_t i = begin; i + 1 < end; i += 2) {
        uint32_t c = data[i] | data[i + 1] << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < end) {
            uint32_t low = data[i + 2] | data[i + 3] << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Strings of a REG_MULTI_SZ, each up to its terminator.
std::vector<std::string> MultiStringsOf(const sim::RegValue& value)
{
    std::vector<std::string> strings;
    size_t start = 0;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        if (value.data[i] == 0 && value.data[i + 1] == 0) {
            if (i == start)
                break;
            strings.push_back(Utf16ToUtf8(value.data, start, i));
            start = i + 2;
        }
    }
    return strings;
}

// Boots the described machine when asked, so its boards' records are there.
std::unique_ptr<Session> MaybeBoot(Context& context, bool boot)
{
    if (!boot)
        return nullptr;
    auto session = std::make_unique<Session>(context.Description());
    for (size_t slot = 0; slot < session->slotCount(); ++slot)
        context.err << session->StartLine(slot) << "\n";
    return session;
}

}  // namespace

std::string StringOf(const sim::RegValue& value)
{
    size_t end = value.data.size() & ~size_t{1};
    for (size_t i = 0; i + 1 < end; i += 2)
        if (value.data[i] == 0 && value.data[i + 1] == 0) {
            end = i;
            break;
        }
    return Utf16ToUtf8(value.data, 0, end);
}

std::string FormatValue(const sim::RegValue& value)
{
    const std::string type = ValueTypeName(value.type);
    char text[64];
    if (value.type == kRegDword && value.data.size() == 4) {
        uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
        std::snprintf(text, sizeof text, " 0x%08X (%u)", v, v);
        return type + text;
    }
    if (value.type == kRegQword && value.data.size() == 8) {
        uint64_t v = 0;
        for (size_t i = 0; i < 8; ++i)
            v |= uint64_t(value.data[i]) << (8 * i);
        std::snprintf(text, sizeof text, " 0x%016llX", static_cast<unsigned long long>(v));
        return type + text;
    }
    if ((value.type == kRegSz || value.type == kRegExpandSz) && value.data.size() % 2 == 0)
        return type + " \"" + StringOf(value) + "\" (" + std::to_string(value.data.size()) + " bytes)";
    if (value.type == kRegMultiSz && value.data.size() % 2 == 0) {
        std::string out = type;
        for (const std::string& s : MultiStringsOf(value))
            out += " \"" + s + "\"";
        return out;
    }
    return type + " " + (value.data.empty() ? std::string("(no data)") : HexBytes(value.data)) + " (" +
           std::to_string(value.data.size()) + " bytes)";
}

sim::RegValue MakeValue(uint32_t type, const std::string& text)
{
    switch (type) {
    case kRegDword: {
        auto v = ParseUnsigned(text);
        if (!v || *v > 0xFFFFFFFFull)
            throw BadInput("\"" + text + "\" is not a 32-bit number for a REG_DWORD");
        return sim::RegValue::Dword(static_cast<uint32_t>(*v));
    }
    case kRegQword: {
        auto v = ParseUnsigned(text);
        if (!v)
            throw BadInput("\"" + text + "\" is not a 64-bit number for a REG_QWORD");
        sim::RegValue value;
        value.type = kRegQword;
        for (size_t i = 0; i < 8; ++i)
            value.data.push_back(static_cast<uint8_t>(*v >> (8 * i)));
        return value;
    }
    case kRegSz:
    case kRegExpandSz: {
        sim::RegValue value = sim::RegValue::String(text);
        value.type = type;
        return value;
    }
    case kRegBinary: {
        auto bytes = ParseHexBytes(text);
        if (!bytes)
            throw BadInput("\"" + text + "\" is not hex bytes (\"01 02 ff\") for a REG_BINARY");
        return sim::RegValue::Binary(*bytes);
    }
    case kRegMultiSz: {
        std::vector<std::string> strings;
        size_t start = 0;
        for (size_t bar = text.find('|'); bar != std::string::npos; bar = text.find('|', start)) {
            strings.push_back(text.substr(start, bar - start));
            start = bar + 1;
        }
        strings.push_back(text.substr(start));
        return sim::RegValue::MultiString(strings);
    }
    default: break;
    }
    throw BadInput("values of " + ValueTypeName(type) + " cannot be given as text; use REG_DWORD, REG_QWORD, "
                   "REG_SZ, REG_EXPAND_SZ, REG_BINARY or REG_MULTI_SZ");
}

int RegExport(Context& context, const RegOptions& options)
{
    RegistryStore store = context.OpenStore();
    std::unique_ptr<Session> session = MaybeBoot(context, options.boot);
    const std::string path = ResolveKeyPath(options.key);
    auto& registry = sim::Registry::Instance();
    if (!registry.KeyExists(path))
        throw Failed("no key " + path + " in the registry store " + store.path() +
                     (options.boot ? "" : " (boot the machine with --boot to create the boards' records)"));
    context.out << registry.Export(path);
    return kExitOk;
}

int RegImport(Context& context, const RegOptions& options)
{
    const std::string text = ReadTextFile(options.file);
    RegistryStore store = context.OpenStore();
    try {
        sim::Registry::Instance().Import(text);
    } catch (const sim::RegistryError& e) {
        throw BadInput(options.file + ": " + e.what() + " (nothing was imported)");
    }
    context.out << "imported " << options.file << " into " << store.path() << "\n";
    return kExitOk;
}

int RegGet(Context& context, const RegOptions& options)
{
    RegistryStore store = context.OpenStore();
    std::unique_ptr<Session> session = MaybeBoot(context, options.boot);
    const std::string path = ResolveKeyPath(options.key);
    auto& registry = sim::Registry::Instance();
    if (!registry.KeyExists(path))
        throw Failed("no key " + path + " in the registry store " + store.path());
    auto value = registry.GetValue(path, options.name);
    if (!value)
        throw Failed("the key " + path + " has no value \"" + options.name + "\"");
    context.out << FormatValue(*value) << "\n";
    return kExitOk;
}

int RegSet(Context& context, const RegOptions& options)
{
    auto type = ParseValueType(options.type);
    if (!type)
        throw BadInput("unknown value type \"" + options.type +
                       "\" (REG_DWORD, REG_QWORD, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ)");
    sim::RegValue value = MakeValue(*type, options.data);
    RegistryStore store = context.OpenStore();
    const std::string path = ResolveKeyPath(options.key);
    try {
        sim::Registry::Instance().SetValue(path, options.name, value);
    } catch (const sim::RegistryError& e) {
        throw BadInput(path + ": " + e.what());
    }
    context.out << path << " \"" << options.name << "\" = " << FormatValue(value) << "\n";
    return kExitOk;
}

}  // namespace tool
