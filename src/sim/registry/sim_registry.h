// The simulated registry: a tree of keys and typed values rooted at
// "\REGISTRY" with "MACHINE" below it. Names are compared without case and
// kept as written; subkeys are held in the registry's enumeration order. Like
// every machine's, it always has MACHINE\HARDWARE, MACHINE\SOFTWARE and
// MACHINE\SYSTEM\CurrentControlSet with Control and Services.
//
// With a store open, every change is committed to an SQLite database before
// the operation that made it returns, so a machine started over the same
// store finds the same registry, and a process killed at any moment loses
// no change whose operation had returned.
//
// The C++ interface here is for tests and tools. Paths are UTF-8, absolute,
// either "\REGISTRY\MACHINE\..." or "HKEY_LOCAL_MACHINE\..."; value names are
// UTF-8, the empty name being the key's default value. Errors (a bad path, a
// missing key, a store that cannot be written, a bad import) throw
// RegistryError.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RegValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;

    static RegValue Dword(uint32_t value);
    // UTF-16LE with its terminator, as REG_SZ.
    static RegValue String(const std::string& utf8);
    static RegValue Binary(std::vector<uint8_t> bytes);
    // REG_MULTI_SZ: each string terminated, then the closing empty string.
    static RegValue MultiString(const std::vector<std::string>& utf8);

    bool operator==(const RegValue&) const = default;
};

class Registry {
public:
    static Registry& Instance();

    // Loads the registry from the SQLite database at `sqlitePath`, creating
    // the file when absent, and writes every later change through to it. The
    // tree in memory is replaced; keys open before are gone for their holders.
    void OpenStore(const std::string& sqlitePath);
    // Detaches the store; the tree stays, later changes stay in memory.
    void CloseStore();
    // A fresh registry without a store.
    void UseMemoryOnly();
    bool HasStore() const;

    // Creates every missing component of `path`.
    void CreateKey(const std::string& path);
    bool KeyExists(const std::string& path) const;
    // Deletes a key with all its subkeys; false when there was none.
    bool DeleteKey(const std::string& path);
    std::vector<std::string> Subkeys(const std::string& path) const;

    // Creates the key path as needed.
    void SetValue(const std::string& path, const std::string& name, const RegValue& value);
    std::optional<RegValue> GetValue(const std::string& path, const std::string& name) const;
    bool DeleteValue(const std::string& path, const std::string& name);
    std::vector<std::string> ValueNames(const std::string& path) const;

    // The key at `rootPath` and everything below it, in the registry
    // editor's text format (version 5.00), keys and values in registry order.
    std::string Export(const std::string& rootPath) const;
    // Applies a file in that format as one change: on any error, which names
    // the line and what is wrong, nothing is changed.
    void Import(const std::string& text);

    // Kernel key handles open now (one per open WDFKEY).
    size_t OpenHandleCount() const;

    struct State;
    State& state() { return *state_; }

private:
    Registry();
    std::unique_ptr<State> state_;
};

size_t OpenRegistryKeyCount();

}  // namespace sim
