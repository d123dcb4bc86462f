// The registry editor's text format, version 5.00: export of a subtree and
// import of a file as one change.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/sim_registry.h"
#include "registry/registry_tree.h"

namespace sim {
namespace {

using reg::KeyNode;
using reg::NodePtr;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr std::u16string_view kMachinePath = u"\\REGISTRY\\MACHINE";
constexpr std::string_view kMachineRoot = "HKEY_LOCAL_MACHINE";
constexpr size_t kHexLineWidth = 77;

// ---- export -------------------------------------------------------------------------

std::string Quoted(std::u16string_view text)
{
    std::string out = "\"";
    for (char c : reg::ToUtf8(text)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A REG_SZ shown as "text" reads back byte for byte: one terminator at the
// end, no other NUL, no line break, and nothing that UTF-8 cannot carry.
bool PlainString(const std::vector<uint8_t>& data, std::u16string* text)
{
    if (data.size() < 2 || data.size() % 2)
        return false;
    text->clear();
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0 || c == u'\r' || c == u'\n')
            return false;
        text->push_back(c);
    }
    return data[data.size() - 2] == 0 && data.back() == 0 && reg::ToUtf16(reg::ToUtf8(*text)) == *text;
}

void AppendHex(std::string* out, const std::string& prefix, const std::vector<uint8_t>& data)
{
    size_t column = prefix.size();
    *out += prefix;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        bool last = i + 1 == data.size();
        if (column + (last ? 2 : 3) > kHexLineWidth) {
            *out += "\\\n  ";
            column = 2;
        }
        *out += byte;
        column += 2;
        if (!last) {
            *out += ',';
            ++column;
        }
    }
    *out += '\n';
}

void ExportValue(std::string* out, const reg::ValueEntry& value)
{
    std::string name = value.name.empty() ? "@" : Quoted(value.name);
    std::u16string text;
    if (value.type == REG_SZ && PlainString(value.data, &text)) {
        *out += name + "=" + Quoted(text) + "\n";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        char dword[24];
        std::snprintf(dword, sizeof dword, "dword:%08x",
                      value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<uint32_t>(value.data[3]) << 24);
        *out += name + "=" + dword + "\n";
    } else if (value.type == REG_BINARY) {
        AppendHex(out, name + "=hex:", value.data);
    } else {
        char type[24];
        std::snprintf(type, sizeof type, "=hex(%x):", value.type);
        AppendHex(out, name + type, value.data);
    }
}

void ExportKey(std::string* out, const KeyNode& key, const std::string& path)
{
    *out += "[" + path + "]\n";
    for (const reg::ValueEntry* value : reg::OrderedValues(key))
        ExportValue(out, *value);
    *out += "\n";
    for (const auto& [upname, child] : key.subkeys)
        ExportKey(out, *child, path + "\\" + reg::ToUtf8(child->name));
}

// ---- import -------------------------------------------------------------------------

struct ImportOp {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::u16string path;  // absolute, from \REGISTRY
    std::u16string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// Text as UTF-8: a UTF-16LE file (with its byte-order mark) is converted,
// a UTF-8 byte-order mark dropped.
std::string Utf8Text(const std::string& text)
{
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
        static_cast<uint8_t>(text[1]) == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2)
            wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(text[i]) |
                                                 static_cast<uint8_t>(text[i + 1]) << 8));
        return reg::ToUtf8(wide);
    }
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return text.substr(3);
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == text.npos ? text.npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == text.npos)
            break;
        start = end + 1;
    }
    return lines;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    explicit Parser(const std::string& text) : lines_(Lines(Utf8Text(text))) {}

    std::vector<ImportOp> Parse()
    {
        size_t first = 0;
        while (first < lines_.size() && Trim(lines_[first]).empty())
            ++first;
        if (first == lines_.size() || Trim(lines_[first]) != kHeader)
            Fail(first, std::string("expected the header \"") + kHeader + "\"");
        for (line_ = first + 1; line_ < lines_.size(); ++line_) {
            std::string text = Trim(lines_[line_]);
            if (text.empty() || text[0] == ';')
                continue;
            if (text[0] == '[')
                ParseSection(text);
            else
                ParseValue(text);
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] void Fail(size_t index, const std::string& what) const
    {
        throw RegistryError("line " + std::to_string(index + 1) + ": " + what);
    }
    [[noreturn]] void Fail(const std::string& what) const { Fail(line_, what); }

    void ParseSection(const std::string& text)
    {
        if (text.back() != ']')
            Fail("key name without its closing ']'");
        bool remove = text.size() > 1 && text[1] == '-';
        std::string name = text.substr(remove ? 2 : 1, text.size() - (remove ? 3 : 2));
        std::string root = name.substr(0, name.find('\\'));
        if (root.size() != kMachineRoot.size() ||
            reg::Upcase(reg::ToUtf16(root)) != reg::ToUtf16(kMachineRoot))
            Fail("unknown root key \"" + root + "\" (only HKEY_LOCAL_MACHINE is known)");
        std::u16string path = std::u16string(kMachinePath) + reg::ToUtf16(name.substr(root.size()));
        std::vector<std::u16string_view> components;
        if (!reg::SplitPath(std::u16string_view(path).substr(1), &components))
            Fail("empty component in key name \"" + name + "\"");
        if (remove && components.size() <= 2)
            Fail("a root key cannot be deleted");
        ops_.push_back({remove ? ImportOp::DeleteKey : ImportOp::CreateKey, path, {}, REG_NONE, {}});
        section_ = remove ? std::u16string() : path;
    }

    // A quoted string from text[*pos] on, with \\ and \" escapes.
    std::string QuotedString(const std::string& text, size_t* pos) const
    {
        std::string out;
        for (size_t i = *pos + 1; i < text.size(); ++i) {
            if (text[i] == '"') {
                *pos = i + 1;
                return out;
            }
            if (text[i] == '\\') {
                if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"'))
                    Fail("unknown escape in a quoted string (only \\\\ and \\\" are allowed)");
                ++i;
            }
            out.push_back(text[i]);
        }
        Fail("quoted string without its closing '\"'");
    }

    void ParseValue(const std::string& text)
    {
        if (section_.empty())
            Fail("value outside a key section");
        ImportOp op{ImportOp::SetValue, section_, {}, REG_NONE, {}};
        size_t pos = 0;
        if (text[0] == '@') {
            pos = 1;
        } else if (text[0] == '"') {
            op.name = reg::ToUtf16(QuotedString(text, &pos));
        } else {
            Fail("expected a quoted value name or @");
        }
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
        if (pos == text.size() || text[pos] != '=')
            Fail("expected '=' after the value name");
        std::string data = Trim(text.substr(pos + 1));
        if (data == "-") {
            op.kind = ImportOp::DeleteValue;
        } else if (!data.empty() && data[0] == '"') {
            size_t end = 0;
            std::u16string value = reg::ToUtf16(QuotedString(data, &end));
            if (end != data.size())
                Fail("unexpected text after the quoted string");
            op.type = REG_SZ;
            for (char16_t c : value + u'\0') {
                op.data.push_back(static_cast<uint8_t>(c));
                op.data.push_back(static_cast<uint8_t>(c >> 8));
            }
        } else if (data.compare(0, 6, "dword:") == 0) {
            op.type = REG_DWORD;
            uint32_t number = 0;
            std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8)
                Fail("dword: needs 1 to 8 hex digits");
            for (char c : digits) {
                if (HexDigit(c) < 0)
                    Fail("dword: needs 1 to 8 hex digits");
                number = number << 4 | static_cast<uint32_t>(HexDigit(c));
            }
            op.data = RegValue::Dword(number).data;
        } else if (data.compare(0, 4, "hex:") == 0) {
            op.type = REG_BINARY;
            op.data = HexBytes(data.substr(4));
        } else if (data.compare(0, 4, "hex(") == 0 && data.find("):") != data.npos) {
            std::string type = data.substr(4, data.find("):") - 4);
            if (type.empty() || type.size() > 8)
                Fail("hex(type): needs a type of 1 to 8 hex digits");
            for (char c : type) {
                if (HexDigit(c) < 0)
                    Fail("hex(type): needs a type of 1 to 8 hex digits");
                op.type = op.type << 4 | static_cast<uint32_t>(HexDigit(c));
            }
            op.data = HexBytes(data.substr(data.find("):") + 2));
        } else {
            Fail("unknown value data \"" + data + "\"");
        }
        ops_.push_back(std::move(op));
    }

    // Comma-separated bytes; a line ending in a backslash goes on on the next.
    std::vector<uint8_t> HexBytes(std::string text)
    {
        std::vector<uint8_t> bytes;
        for (;;) {
            text = Trim(text);
            bool more = !text.empty() && text.back() == '\\';
            if (more)
                text = Trim(text.substr(0, text.size() - 1));
            size_t start = 0;
            while (start < text.size()) {
                size_t comma = text.find(',', start);
                std::string byte = Trim(text.substr(start, comma == text.npos ? text.npos
                                                                               : comma - start));
                if (byte.empty() || byte.size() > 2 || HexDigit(byte[0]) < 0 ||
                    (byte.size() == 2 && HexDigit(byte[1]) < 0))
                    Fail("expected a hex byte, found \"" + byte + "\"");
                bytes.push_back(static_cast<uint8_t>(
                    byte.size() == 1 ? HexDigit(byte[0]) : HexDigit(byte[0]) << 4 | HexDigit(byte[1])));
                if (comma == text.npos)
                    break;
                start = comma + 1;
                if (start == text.size() && !more)
                    Fail("hex list ends with a comma");
            }
            if (!more)
                return bytes;
            if (++line_ == lines_.size())
                Fail(line_ - 1, "hex list continued past the end of the file");
            text = lines_[line_];
        }
    }

    std::vector<std::string> lines_;
    size_t line_ = 0;
    std::u16string section_;
    std::vector<ImportOp> ops_;
};

}  // namespace

std::string Registry::Export(const std::string& rootPath) const
{
    std::u16string path = reg::ToUtf16(rootPath);
    constexpr std::u16string_view kRoot = u"HKEY_LOCAL_MACHINE";
    if (reg::Upcase(path.substr(0, kRoot.size())) == kRoot)
        path = std::u16string(kMachinePath) + path.substr(kRoot.size());
    std::u16string upper = reg::Upcase(path);
    if (upper.compare(0, kMachinePath.size(), kMachinePath) != 0 ||
        (upper.size() > kMachinePath.size() && upper[kMachinePath.size()] != u'\\'))
        throw RegistryError("export " + rootPath + ": only keys under \\REGISTRY\\MACHINE");
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    if (!NT_SUCCESS(state_->WalkAbsolute(path, false, &node)))
        throw RegistryError("export " + rootPath + ": no such key");
    // The section names spell the keys as they are stored.
    std::vector<std::u16string_view> components;
    if (path.size() > kMachinePath.size())
        reg::SplitPath(std::u16string_view(path).substr(kMachinePath.size() + 1), &components);
    std::string name(kMachineRoot);
    NodePtr step = state_->root->subkeys.at(u"MACHINE");
    for (auto component : components) {
        step = step->subkeys.at(reg::Upcase(component));
        name += "\\" + reg::ToUtf8(step->name);
    }
    std::string out = std::string(kHeader) + "\n\n";
    ExportKey(&out, *node, name);
    return out;
}

void Registry::Import(const std::string& text)
{
    std::vector<ImportOp> ops = Parser(text).Parse();
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& state = *state_;
    if (state.store && !state.store->BeginBatch())
        throw RegistryError("import: registry store: " + state.store->lastError());
    NTSTATUS status = STATUS_SUCCESS;
    for (const ImportOp& op : ops) {
        NodePtr node;
        bool removed = false;
        std::vector<std::u16string_view> components;
        reg::SplitPath(std::u16string_view(op.path).substr(1), &components);
        switch (op.kind) {
        case ImportOp::CreateKey:
            // One component at a time: a walk creates only the last.
            node = state.root;
            for (size_t i = 1; i < components.size() && NT_SUCCESS(status); ++i)
                status = state.Walk(node, {components[i]}, true, &node);
            break;
        case ImportOp::DeleteKey:
            components.pop_back();
            components.erase(components.begin());
            if (NT_SUCCESS(state.Walk(state.root, components, false, &node))) {
                size_t slash = op.path.rfind(u'\\');
                status = state.RemoveSubkeyTree(node, std::u16string_view(op.path).substr(slash + 1),
                                                &removed);
            }
            break;
        case ImportOp::SetValue:
            status = state.WalkAbsolute(op.path, false, &node);
            if (NT_SUCCESS(status))
                status = state.PutValue(node, op.name, op.type, op.data.data(), op.data.size());
            break;
        case ImportOp::DeleteValue:
            status = state.WalkAbsolute(op.path, false, &node);
            if (NT_SUCCESS(status))
                status = state.RemoveValue(node, op.name, &removed);
            break;
        }
        if (!NT_SUCCESS(status))
            break;
    }
    if (!state.store) {
        if (!NT_SUCCESS(status))
            throw RegistryError("import: status " + std::to_string(status));
        return;
    }
    if (NT_SUCCESS(status)) {
        if (state.store->CommitBatch())
            return;
    } else {
        state.store->RollbackBatch();
    }
    // The store holds the registry as it was: bring the tree back to it.
    std::string error = state.store->lastError();
    state.ReloadFromStore();
    throw RegistryError("import: registry store: " + error);
}

}  // namespace sim
