// Strict reading of the tool's JSON files: every error names the file and
// where in it the problem is (line and column for bad syntax, the JSON
// pointer of the offending member otherwise). Unknown members are errors, so
// a misspelt key never goes unnoticed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tool {

// Parses `text` (comments allowed); bad syntax throws a bad-input ToolError
// "file:line:column: ...".
nlohmann::json ParseJsonText(const std::string& text, const std::string& file);
// Reads and parses a file; a file that cannot be read is bad input too.
nlohmann::json ParseJsonFile(const std::string& path);
std::string ReadTextFile(const std::string& path);

class JsonNode {
public:
    JsonNode(const nlohmann::json& value, std::string file, std::string pointer = "");

    const nlohmann::json& json() const { return *value_; }
    const std::string& file() const { return file_; }
    // The JSON pointer of this node ("/boards/1/boardId"); "/" for the root.
    std::string pointer() const { return pointer_.empty() ? "/" : pointer_; }
    // "file: /pointer"
    std::string where() const;
    [[noreturn]] void Fail(const std::string& problem) const;

    bool IsObject() const { return value_->is_object(); }
    bool IsString() const { return value_->is_string(); }
    bool IsArray() const { return value_->is_array(); }

    // An object with no member outside `allowed`.
    void ExpectObject(std::initializer_list<const char*> allowed) const;
    bool Has(const char* key) const;
    JsonNode operator[](const char* key) const;  // a required member
    std::optional<JsonNode> Find(const char* key) const;

    // An array, its size and elements.
    size_t ArraySize() const;
    JsonNode Element(size_t index) const;

    // A whole number given as a JSON number or as a string ("0x1F", "31").
    uint64_t Unsigned(uint64_t max) const;
    int64_t Signed(int64_t min, int64_t max) const;
    double Number(double min, double max) const;
    bool Bool() const;
    std::string String() const;
    // Bytes given as hex text ("01 02 ff", "0102FF") or as an array of numbers.
    std::vector<uint8_t> Bytes() const;

    // Optional members with a default.
    uint64_t Unsigned(const char* key, uint64_t max, uint64_t fallback) const;
    bool Bool(const char* key, bool fallback) const;
    std::string String(const char* key, const std::string& fallback) const;

private:
    const nlohmann::json* value_;
    std::string file_;
    std::string pointer_;
};

// Whole numbers and bytes from text, shared with the command line.
std::optional<uint64_t> ParseUnsigned(const std::string& text);
// Hex text with optional spaces, commas or "0x" per byte; empty text is no bytes.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
std::string HexBytes(const uint8_t* data, size_t length);
inline std::string HexBytes(const std::vector<uint8_t>& data) { return HexBytes(data.data(), data.size()); }

}  // namespace tool
