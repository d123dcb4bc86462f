// Where the registry store lives: DIR/registry.sqlite, DIR from --state, else
// $XDG_STATE_HOME/mdx4208, else ~/.local/state/mdx4208. The directory is
// created when missing.
#pragma once

#include <string>

namespace tool {

// The state directory for the given option and environment values (either
// may be null or empty). Throws a bad-input ToolError when none can be found.
std::string StateDirectory(const std::string& option, const char* xdgStateHome, const char* home);
// Creates `directory` (and its parents) when missing and returns the store's
// path inside it. A path that exists but is no directory, or that cannot be
// made, is bad input.
std::string PrepareStore(const std::string& directory);

inline constexpr const char* kStoreFileName = "registry.sqlite";

// Opens the registry store for the lifetime of the object: the file store,
// or a fresh registry in memory.
class RegistryStore {
public:
    static RegistryStore File(const std::string& sqlitePath);
    static RegistryStore Memory();
    RegistryStore(RegistryStore&& other) noexcept;
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;
    ~RegistryStore();
    const std::string& path() const { return path_; }  // empty in memory

private:
    explicit RegistryStore(std::string path) : path_(std::move(path)) {}
    std::string path_;
    bool open_ = true;
};

}  // namespace tool
