// What every command gets: the global options, the output streams, and the
// way to the machine description and the registry store they name.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "description.h"
#include "store.h"

namespace tool {

struct GlobalOptions {
    std::string machineFile;  // empty: the default machine
    std::string stateDir;     // empty: the user's state directory
};

struct Context {
    GlobalOptions options;
    std::ostream& out;
    std::ostream& err;

    MachineDescription Description() const;
    // The store's path, with its directory created.
    std::string StorePath() const;
    RegistryStore OpenStore() const { return RegistryStore::File(StorePath()); }
};

// A registry path as typed: absolute ("\REGISTRY\...", "HKEY_LOCAL_MACHINE\...")
// or relative to the driver's service key ("Device000", "MapEntry", "").
std::string ResolveKeyPath(const std::string& text);

// Registry value types by name ("REG_DWORD", "dword") and back.
std::optional<uint32_t> ParseValueType(const std::string& text);
std::string ValueTypeName(uint32_t type);

}  // namespace tool
