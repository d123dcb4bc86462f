#include "json_reader.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tool_error.h"

namespace tool {

using nlohmann::json;

namespace {

std::string TypeName(const json& value)
{
    if (value.is_number_unsigned() || value.is_number_integer())
        return "a whole number";
    if (value.is_number_float())
        return "a fraction";
    return std::string("a ") + value.type_name();
}

std::string EscapePointerToken(const std::string& key)
{
    std::string out;
    for (char c : key) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace

json ParseJsonText(const std::string& text, const std::string& file)
{
    try {
        return json::parse(text, nullptr, true, true);
    } catch (const json::parse_error& e) {
        // Count lines up to the byte where the parser stopped (1-based).
        size_t line = 1, column = 1;
        const size_t stop = e.byte == 0 ? 0 : std::min<size_t>(e.byte - 1, text.size());
        for (size_t i = 0; i < stop; ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        std::string message = e.what();
        size_t at = message.find("syntax error");
        if (at == std::string::npos)
            at = message.find("parse error");
        if (at != std::string::npos)
            message = message.substr(at);
        throw BadInput(file + ":" + std::to_string(line) + ":" + std::to_string(column) +
                       ": bad JSON: " + message);
    }
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw BadInput(path + ": cannot open the file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw BadInput(path + ": cannot read the file");
    return text.str();
}

json ParseJsonFile(const std::string& path) { return ParseJsonText(ReadTextFile(path), path); }

JsonNode::JsonNode(const nlohmann::json& value, std::string file, std::string pointer)
    : value_(&value), file_(std::move(file)), pointer_(std::move(pointer))
{
}

std::string JsonNode::where() const { return file_ + ": " + pointer(); }

void JsonNode::Fail(const std::string& problem) const { throw BadInput(where() + ": " + problem); }

void JsonNode::ExpectObject(std::initializer_list<const char*> allowed) const
{
    if (!value_->is_object())
        Fail("expected an object, found " + TypeName(*value_));
    for (auto it = value_->begin(); it != value_->end(); ++it) {
        bool known = false;
        for (const char* name : allowed)
            known = known || it.key() == name;
        if (!known) {
            std::string names;
            for (const char* name : allowed)
                names += std::string(names.empty() ? "" : ", ") + name;
            JsonNode(it.value(), file_, pointer_ + "/" + EscapePointerToken(it.key()))
                .Fail("unknown member \"" + it.key() + "\" (known: " + names + ")");
        }
    }
}

bool JsonNode::Has(const char* key) const { return value_->is_object() && value_->contains(key); }

JsonNode JsonNode::operator[](const char* key) const
{
    if (!value_->is_object())
        Fail("expected an object, found " + TypeName(*value_));
    auto it = value_->find(key);
    if (it == value_->end())
        Fail(std::string("missing member \"") + key + "\"");
    return JsonNode(*it, file_, pointer_ + "/" + EscapePointerToken(key));
}

std::optional<JsonNode> JsonNode::Find(const char* key) const
{
    if (!Has(key))
        return std::nullopt;
    return (*this)[key];
}

size_t JsonNode::ArraySize() const
{
    if (!value_->is_array())
        Fail("expected an array, found " + TypeName(*value_));
    return value_->size();
}

JsonNode JsonNode::Element(size_t index) const
{
    ArraySize();
    return JsonNode(value_->at(index), file_, pointer_ + "/" + std::to_string(index));
}

uint64_t JsonNode::Unsigned(uint64_t max) const
{
    std::optional<uint64_t> value;
    if (value_->is_number_unsigned())
        value = value_->get<uint64_t>();
    else if (value_->is_number_integer())
        Fail("expected a whole number from 0 to " + std::to_string(max) + ", found " +
             std::to_string(value_->get<int64_t>()));
    else if (value_->is_string())
        value = ParseUnsigned(value_->get<std::string>());
    if (!value)
        Fail("expected a whole number (or text such as \"0x1F\"), found " +
             (value_->is_string() ? "\"" + value_->get<std::string>() + "\"" : TypeName(*value_)));
    if (*value > max)
        Fail("the value " + std::to_string(*value) + " is out of range (0 to " + std::to_string(max) + ")");
    return *value;
}

int64_t JsonNode::Signed(int64_t min, int64_t max) const
{
    if (!value_->is_number_integer())
        Fail("expected a whole number, found " + TypeName(*value_));
    int64_t value = value_->get<int64_t>();
    if (value < min || value > max)
        Fail("the value " + std::to_string(value) + " is out of range (" + std::to_string(min) + " to " +
             std::to_string(max) + ")");
    return value;
}

double JsonNode::Number(double min, double max) const
{
    if (!value_->is_number())
        Fail("expected a number, found " + TypeName(*value_));
    double value = value_->get<double>();
    if (!(value >= min && value <= max)) {
        char text[96];
        std::snprintf(text, sizeof text, "the value %g is out of range (%g to %g)", value, min, max);
        Fail(text);
    }
    return value;
}

bool JsonNode::Bool() const
{
    if (!value_->is_boolean())
        Fail("expected true or false, found " + TypeName(*value_));
    return value_->get<bool>();
}

std::string JsonNode::String() const
{
    if (!value_->is_string())
        Fail("expected text, found " + TypeName(*value_));
    return value_->get<std::string>();
}

std::vector<uint8_t> JsonNode::Bytes() const
{
    if (value_->is_string()) {
        auto bytes = ParseHexBytes(value_->get<std::string>());
        if (!bytes)
            Fail("expected bytes as hex text (\"01 02 ff\"), found \"" + value_->get<std::string>() + "\"");
        return *bytes;
    }
    if (value_->is_array()) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < value_->size(); ++i)
            bytes.push_back(static_cast<uint8_t>(Element(i).Unsigned(0xFF)));
        return bytes;
    }
    Fail("expected bytes as hex text or an array of numbers, found " + TypeName(*value_));
}

uint64_t JsonNode::Unsigned(const char* key, uint64_t max, uint64_t fallback) const
{
    auto node = Find(key);
    return node ? node->Unsigned(max) : fallback;
}

bool JsonNode::Bool(const char* key, bool fallback) const
{
    auto node = Find(key);
    return node ? node->Bool() : fallback;
}

std::string JsonNode::String(const char* key, const std::string& fallback) const
{
    auto node = Find(key);
    return node ? node->String() : fallback;
}

std::optional<uint64_t> ParseUnsigned(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    size_t start = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        start = 2;
        base = 16;
    }
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        else if (c == '_' || c == '\'')
            continue;  // digit separators
        else
            return std::nullopt;
        if (value > (UINT64_MAX - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    auto flush = [&]() -> bool {
        if (digits.size() % 2)
            return false;
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        digits.clear();
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            (i == 0 || !std::isxdigit(static_cast<unsigned char>(text[i - 1])))) {
            if (!flush())
                return std::nullopt;
            ++i;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        } else if (c == ' ' || c == ',' || c == '\t' || c == ':' || c == '-') {
            if (!flush())
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (!flush())
        return std::nullopt;
    return bytes;
}

std::string HexBytes(const uint8_t* data, size_t length)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", data[i]);
        out += byte;
    }
    return out;
}

}  // namespace tool
