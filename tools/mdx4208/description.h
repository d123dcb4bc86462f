// The machine description: which PCI locations hold MDX-4208 boards (with
// their BoardID switches, device IDs and interrupt lines), which foreign
// devices share those lines, and the input generators that drive boards and
// foreign devices while the machine is watched. Read from JSON; the tool has
// an embedded default for runs without a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pnp/machine.h"

namespace tool {

struct GeneratorDesc {
    enum class Kind {
        Counter,  // a port's value counts up by `step`, `hz` times a second
        Square,   // a square wave of `hz` full periods a second on an interrupt pin
        Pulse,    // a foreign device asserts its line for `widthUs`, `hz` times a second
    };
    Kind kind = Kind::Counter;
    unsigned port = 0;      // Counter
    unsigned pin = 0;       // Square
    uint32_t step = 1;      // Counter
    uint32_t widthUs = 50;  // Pulse
    double hz = 1;
};

struct BoardDesc {
    std::string name;  // unique; "board<index>" when the file gives none
    sim::BoardSlot slot;
    uint32_t inputs = 0;  // the lines' levels at power-on
    std::vector<GeneratorDesc> generators;
};

struct ForeignDesc {
    std::string name;
    uint32_t interruptVector = 11;
    std::optional<GeneratorDesc> generator;  // Pulse
};

struct MachineDescription {
    std::string source;  // the file it came from, or "the default machine"
    std::vector<BoardDesc> boards;
    std::vector<ForeignDesc> foreign;

    // The board of a name or an index ("1", "left"); none when neither fits.
    std::optional<size_t> FindBoard(const std::string& nameOrIndex) const;
};

// Reads a description from parsed JSON; `file` names it in errors. Bad
// content throws a bad-input ToolError naming the file and the JSON pointer.
MachineDescription ParseDescription(const nlohmann::json& document, const std::string& file,
                                    const std::string& pointer = "");
MachineDescription LoadDescription(const std::string& path);
// Two boards on one shared line: one with BoardID 5, one with BoardID 0.
MachineDescription DefaultDescription();

std::string LocationText(const sim::PciLocation& location);  // "2:14.0"
const char* GeneratorKindName(GeneratorDesc::Kind kind);
std::string DescribeGenerator(const GeneratorDesc& generator);

}  // namespace tool
