#include "description.h"

#include <cstdio>
#include <map>

#include "json_reader.h"
#include "tool_error.h"

namespace tool {

namespace {

// Two boards on interrupt line 11, which a foreign device shares. The first
// has a BoardID switch, so it keeps its number wherever it sits; the second
// is known by its place on the bus.
constexpr const char* kDefaultMachine = R"({
  "boards": [
    {
      "name": "left",
      "location": { "bus": 2, "device": 14, "function": 0 },
      "boardId": 5,
      "interrupt": 11,
      "inputs": "0x5AC3F00F",
      "generators": [
        { "kind": "counter", "port": 1, "hz": 10 },
        { "kind": "square", "pin": 0, "hz": 1000 }
      ]
    },
    {
      "name": "right",
      "location": { "bus": 2, "device": 15, "function": 0 },
      "boardId": 0,
      "interrupt": 11,
      "inputs": "0x00000001",
      "generators": [
        { "kind": "square", "pin": 1, "hz": 50 }
      ]
    }
  ],
  "foreign": [
    { "name": "nic", "interrupt": 11, "generator": { "kind": "pulse", "hz": 20, "widthUs": 100 } }
  ]
})";

constexpr double kMaxHz = 20000;

sim::ResourceShape ParseResources(const JsonNode& node)
{
    static const std::map<std::string, sim::ResourceShape> shapes = {
        {"normal", sim::ResourceShape::Normal},
        {"twoPortRanges", sim::ResourceShape::TwoPortRanges},
        {"nullDescriptor", sim::ResourceShape::NullDescriptor},
        {"noPort", sim::ResourceShape::NoPort},
        {"noInterrupt", sim::ResourceShape::NoInterrupt},
        {"shortPortRange", sim::ResourceShape::ShortPortRange},
    };
    std::string text = node.String();
    auto it = shapes.find(text);
    if (it == shapes.end())
        node.Fail("unknown resource shape \"" + text +
                  "\" (known: normal, twoPortRanges, nullDescriptor, noPort, noInterrupt, shortPortRange)");
    return it->second;
}

GeneratorDesc ParseGenerator(const JsonNode& node, bool onBoard)
{
    if (!node.IsObject())
        node.Fail("expected a generator object");
    const std::string kind = node["kind"].String();
    GeneratorDesc g;
    if (onBoard && kind == "counter") {
        node.ExpectObject({"kind", "port", "hz", "step"});
        g.kind = GeneratorDesc::Kind::Counter;
        g.port = static_cast<unsigned>(node["port"].Unsigned(3));
        g.step = static_cast<uint32_t>(node.Unsigned("step", 255, 1));
        if (g.step == 0)
            node["step"].Fail("a counter's step must be 1 to 255");
    } else if (onBoard && kind == "square") {
        node.ExpectObject({"kind", "pin", "hz"});
        g.kind = GeneratorDesc::Kind::Square;
        g.pin = static_cast<unsigned>(node["pin"].Unsigned(3));
    } else if (!onBoard && kind == "pulse") {
        node.ExpectObject({"kind", "hz", "widthUs"});
        g.kind = GeneratorDesc::Kind::Pulse;
        g.widthUs = static_cast<uint32_t>(node.Unsigned("widthUs", 100000, 50));
        if (g.widthUs == 0)
            node["widthUs"].Fail("a pulse must last at least 1 microsecond");
    } else {
        node["kind"].Fail("unknown generator kind \"" + kind + "\" (" +
                          (onBoard ? "a board has \"counter\" and \"square\"" : "a foreign device has \"pulse\"") +
                          ")");
    }
    g.hz = node["hz"].Number(0.001, kMaxHz);
    if (g.kind == GeneratorDesc::Kind::Pulse && g.widthUs >= 1e6 / g.hz)
        node["widthUs"].Fail("the pulse is as long as its period or longer");
    return g;
}

BoardDesc ParseBoard(const JsonNode& node, size_t index)
{
    node.ExpectObject({"name", "location", "boardId", "boardIdUpperNibble", "deviceId", "interrupt", "inputs",
                       "configCompletesLater", "resources", "generators"});
    BoardDesc board;
    board.name = node.String("name", "board" + std::to_string(index));
    if (board.name.empty())
        node["name"].Fail("a board's name must not be empty");
    JsonNode location = node["location"];
    location.ExpectObject({"bus", "device", "function"});
    board.slot.location.bus = static_cast<uint32_t>(location["bus"].Unsigned(255));
    board.slot.location.device = static_cast<uint32_t>(location["device"].Unsigned(31));
    board.slot.location.function = static_cast<uint32_t>(location.Unsigned("function", 7, 0));
    board.slot.boardIdSwitch = static_cast<uint8_t>(node.Unsigned("boardId", 15, 0));
    board.slot.boardIdUpperNibble = static_cast<uint8_t>(node.Unsigned("boardIdUpperNibble", 15, 0));
    board.slot.pciDeviceId = static_cast<uint16_t>(node.Unsigned("deviceId", 0xFFFF, 0x4208));
    board.slot.interruptVector = static_cast<uint32_t>(node.Unsigned("interrupt", 255, 11));
    board.slot.configCompletesLater = node.Bool("configCompletesLater", false);
    if (auto resources = node.Find("resources"))
        board.slot.resources = ParseResources(*resources);
    board.inputs = static_cast<uint32_t>(node.Unsigned("inputs", 0xFFFFFFFFu, 0));
    if (auto generators = node.Find("generators")) {
        for (size_t i = 0; i < generators->ArraySize(); ++i)
            board.generators.push_back(ParseGenerator(generators->Element(i), true));
    }
    return board;
}

ForeignDesc ParseForeign(const JsonNode& node, size_t index)
{
    node.ExpectObject({"name", "interrupt", "generator"});
    ForeignDesc foreign;
    foreign.name = node.String("name", "foreign" + std::to_string(index));
    foreign.interruptVector = static_cast<uint32_t>(node["interrupt"].Unsigned(255));
    if (auto generator = node.Find("generator"))
        foreign.generator = ParseGenerator(*generator, false);
    return foreign;
}

bool SameLocation(const sim::PciLocation& a, const sim::PciLocation& b)
{
    return a.bus == b.bus && a.device == b.device && a.function == b.function;
}

}  // namespace

std::optional<size_t> MachineDescription::FindBoard(const std::string& nameOrIndex) const
{
    for (size_t i = 0; i < boards.size(); ++i)
        if (boards[i].name == nameOrIndex)
            return i;
    auto index = ParseUnsigned(nameOrIndex);
    if (index && *index < boards.size() && nameOrIndex.find_first_not_of("0123456789") == std::string::npos)
        return static_cast<size_t>(*index);
    return std::nullopt;
}

MachineDescription ParseDescription(const nlohmann::json& document, const std::string& file,
                                    const std::string& pointer)
{
    JsonNode root(document, file, pointer);
    root.ExpectObject({"boards", "foreign", "comment"});
    MachineDescription description;
    description.source = file;
    JsonNode boards = root["boards"];
    if (boards.ArraySize() == 0)
        boards.Fail("a machine needs at least one board");
    for (size_t i = 0; i < boards.ArraySize(); ++i) {
        JsonNode node = boards.Element(i);
        BoardDesc board = ParseBoard(node, i);
        for (size_t j = 0; j < description.boards.size(); ++j) {
            const BoardDesc& other = description.boards[j];
            if (SameLocation(other.slot.location, board.slot.location))
                node["location"].Fail("PCI location " + LocationText(board.slot.location) +
                                      " is already taken by board \"" + other.name + "\" (/boards/" +
                                      std::to_string(j) + ")");
            if (other.name == board.name)
                node["name"].Fail("the name \"" + board.name + "\" is already used by /boards/" + std::to_string(j));
        }
        description.boards.push_back(board);
    }
    if (auto foreign = root.Find("foreign")) {
        for (size_t i = 0; i < foreign->ArraySize(); ++i)
            description.foreign.push_back(ParseForeign(foreign->Element(i), i));
    }
    return description;
}

MachineDescription LoadDescription(const std::string& path)
{
    return ParseDescription(ParseJsonFile(path), path);
}

MachineDescription DefaultDescription()
{
    MachineDescription description =
        ParseDescription(ParseJsonText(kDefaultMachine, "the default machine"), "the default machine");
    return description;
}

std::string LocationText(const sim::PciLocation& location)
{
    char text[48];
    std::snprintf(text, sizeof text, "%u:%u.%u", location.bus, location.device, location.function);
    return text;
}

const char* GeneratorKindName(GeneratorDesc::Kind kind)
{
    switch (kind) {
    case GeneratorDesc::Kind::Counter: return "counter";
    case GeneratorDesc::Kind::Square: return "square";
    case GeneratorDesc::Kind::Pulse: return "pulse";
    }
    return "?";
}

std::string DescribeGenerator(const GeneratorDesc& g)
{
    char text[96];
    switch (g.kind) {
    case GeneratorDesc::Kind::Counter:
        std::snprintf(text, sizeof text, "counter on port %u, +%u at %g Hz", g.port, g.step, g.hz);
        break;
    case GeneratorDesc::Kind::Square:
        std::snprintf(text, sizeof text, "square wave on pin %u at %g Hz", g.pin, g.hz);
        break;
    case GeneratorDesc::Kind::Pulse:
        std::snprintf(text, sizeof text, "%u us pulses at %g Hz", g.widthUs, g.hz);
        break;
    }
    return text;
}

}  // namespace tool
