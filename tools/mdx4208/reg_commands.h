// The registry commands: export, import, get and set on the registry store,
// optionally with the machine booted first so its boards' records are there.
#pragma once

#include <string>

#include "context.h"
#include "registry/sim_registry.h"

namespace tool {

struct RegOptions {
    bool boot = false;  // boot the described machine first
    std::string key;    // as typed; see ResolveKeyPath
    std::string name;   // value name
    std::string type;   // for set
    std::string data;   // for set
    std::string file;   // for import
};

int RegExport(Context& context, const RegOptions& options);
int RegImport(Context& context, const RegOptions& options);
int RegGet(Context& context, const RegOptions& options);
int RegSet(Context& context, const RegOptions& options);

// "REG_DWORD 0x00000005 (5)", "REG_SZ \"Kor4208.DLL\"", "REG_BINARY 01 01 01 01".
std::string FormatValue(const sim::RegValue& value);
// The text of a string value (REG_SZ, REG_EXPAND_SZ) without its terminator.
std::string StringOf(const sim::RegValue& value);
// A value from its type and text: a number for REG_DWORD and REG_QWORD, the
// text for REG_SZ, hex bytes for REG_BINARY, strings separated by "|" for
// REG_MULTI_SZ. Bad text throws a bad-input ToolError.
sim::RegValue MakeValue(uint32_t type, const std::string& text);

}  // namespace tool
