#include "scenario.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

#include "json_reader.h"
#include "library.h"
#include "names.h"
#include "raw_io.h"
#include "reg_commands.h"
#include "registry/sim_registry.h"
#include "session.h"
#include "tool_error.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

// ---- results and expectations --------------------------------------------------------

enum class Want { Status, Bytes, Number, Bool, Text, Numbers, ByteRows };

struct Actual {
    Want kind = Want::Number;
    int32_t status = 0;
    std::vector<uint8_t> bytes;
    uint64_t number = 0;
    bool flag = false;
    std::string text;
    std::vector<uint64_t> numbers;
    std::vector<std::vector<uint8_t>> rows;

    static Actual Status(int32_t s) { Actual a; a.kind = Want::Status; a.status = s; return a; }
    static Actual Bytes(std::vector<uint8_t> b) { Actual a; a.kind = Want::Bytes; a.bytes = std::move(b); return a; }
    static Actual Number(uint64_t n) { Actual a; a.kind = Want::Number; a.number = n; return a; }
    static Actual Bool(bool f) { Actual a; a.kind = Want::Bool; a.flag = f; return a; }
    static Actual Text(std::string t) { Actual a; a.kind = Want::Text; a.text = std::move(t); return a; }
    static Actual Numbers(std::vector<uint64_t> n) { Actual a; a.kind = Want::Numbers; a.numbers = std::move(n); return a; }
    static Actual Rows(std::vector<std::vector<uint8_t>> r) { Actual a; a.kind = Want::ByteRows; a.rows = std::move(r); return a; }
};

// What one step produced, by expectation name; a name that is absent was not
// produced (a value that does not exist, a board that did not start).
using Outcome = std::map<std::string, Actual>;

std::string Show(const Actual& a)
{
    switch (a.kind) {
    case Want::Status: return StatusText(a.status);
    case Want::Bytes: return a.bytes.empty() ? "(none)" : HexBytes(a.bytes);
    case Want::Number: {
        char text[48];
        std::snprintf(text, sizeof text, a.number > 9 ? "%llu (0x%llX)" : "%llu",
                      static_cast<unsigned long long>(a.number), static_cast<unsigned long long>(a.number));
        return text;
    }
    case Want::Bool: return a.flag ? "true" : "false";
    case Want::Text: return "\"" + a.text + "\"";
    case Want::Numbers: {
        std::string out = "[";
        for (size_t i = 0; i < a.numbers.size(); ++i)
            out += (i ? ", " : "") + std::to_string(a.numbers[i]);
        return out + "]";
    }
    case Want::ByteRows: {
        std::string out = "[";
        for (size_t i = 0; i < a.rows.size(); ++i)
            out += (i ? "], [" : "") + HexBytes(a.rows[i]);
        return out + "]";
    }
    }
    return "?";
}

// The expected value in the actual's form; bad expected values are bad input.
Actual Expected(const JsonNode& node, Want kind)
{
    switch (kind) {
    case Want::Status: {
        std::optional<int32_t> status;
        if (node.IsString())
            status = ParseStatus(node.String());
        else
            status = static_cast<int32_t>(static_cast<uint32_t>(node.Unsigned(0xFFFFFFFFu)));
        if (!status)
            node.Fail("unknown status \"" + node.String() + "\" (a name such as ERR_OUT_OF_RANGE or KOR_E_TIMEOUT, "
                      "or a number)");
        return Actual::Status(*status);
    }
    case Want::Bytes: return Actual::Bytes(node.Bytes());
    case Want::Number: return Actual::Number(node.Unsigned(UINT64_MAX));
    case Want::Bool: return Actual::Bool(node.Bool());
    case Want::Text: return Actual::Text(node.String());
    case Want::Numbers: {
        std::vector<uint64_t> numbers;
        for (size_t i = 0; i < node.ArraySize(); ++i)
            numbers.push_back(node.Element(i).Unsigned(UINT64_MAX));
        return Actual::Numbers(numbers);
    }
    case Want::ByteRows: {
        std::vector<std::vector<uint8_t>> rows;
        for (size_t i = 0; i < node.ArraySize(); ++i)
            rows.push_back(node.Element(i).Bytes());
        return Actual::Rows(rows);
    }
    }
    node.Fail("cannot be expected");
}

bool Same(const Actual& a, const Actual& b)
{
    switch (a.kind) {
    case Want::Status: return a.status == b.status;
    case Want::Bytes: return a.bytes == b.bytes;
    case Want::Number: return a.number == b.number;
    case Want::Bool: return a.flag == b.flag;
    case Want::Text: return a.text == b.text;
    case Want::Numbers: return a.numbers == b.numbers;
    case Want::ByteRows: return a.rows == b.rows;
    }
    return false;
}

// ---- steps ---------------------------------------------------------------------------

struct Step {
    size_t index;
    std::string name;
    std::string action;
    JsonNode args;
    std::optional<JsonNode> expect;
    const struct StepKind* kind;

    std::string Title() const
    {
        return "step " + std::to_string(index) + (name.empty() ? "" : " \"" + name + "\"") + " (" + action + ")";
    }
};

class Runner;

struct ExpectKey {
    const char* name;
    Want kind;
};

struct StepKind {
    const char* action;
    std::vector<const char*> args;
    std::vector<ExpectKey> expects;
    // The step's status must be a success unless "expect" names another.
    bool defaultSuccess;
    Outcome (Runner::*run)(const Step&);
};

struct Handle {
    bool raw = false;
    KorBoard library;
    RawHandle device;
    uint32_t number = 0;
    size_t slot = 0;
};

class Runner {
public:
    Runner(Context& context, const std::string& path, bool useStore);
    ScenarioResult Run();

    Outcome Restart(const Step& step);
    Outcome BoardStep(const Step& step);
    Outcome ListStep(const Step& step);
    Outcome SetInputs(const Step& step);
    Outcome SetPort(const Step& step);
    Outcome SetPin(const Step& step);
    Outcome PulseStep(const Step& step);
    Outcome HardwareStep(const Step& step);
    Outcome OpenStep(const Step& step);
    Outcome CloseStep(const Step& step);
    Outcome ReadInputs(const Step& step);
    Outcome ReadPorts(const Step& step);
    Outcome PortRead(const Step& step);
    Outcome PortWrite(const Step& step);
    Outcome SetTriggerEdges(const Step& step);
    Outcome ArmStep(const Step& step);
    Outcome DisarmStep(const Step& step);
    Outcome WaitInterrupt(const Step& step);
    Outcome SignalGeneral(const Step& step);
    Outcome WaitGeneral(const Step& step);
    Outcome ReadShared(const Step& step);
    Outcome ReadValue(const Step& step);
    Outcome WriteValue(const Step& step);
    Outcome GetLocation(const Step& step);
    Outcome IoctlStep(const Step& step);
    Outcome RegistryGet(const Step& step);
    Outcome RegistrySet(const Step& step);
    Outcome SleepStep(const Step& step);

private:
    MachineDescription DescriptionFrom(const JsonNode& node) const;
    void Boot(MachineDescription description);
    void Shutdown();
    std::vector<Step> ParseSteps(const JsonNode& steps) const;
    void Check(const Step& step, const Outcome& outcome) const;

    size_t Slot(const Step& step) const;
    Handle& HandleOf(const Step& step, bool raw);
    uint32_t Port(const Step& step, const JsonNode& node, const Handle& handle) const;
    unsigned Channel(const Step& step) const;

    Context& context_;
    std::string file_;
    fs::path directory_;
    nlohmann::json document_;
    bool useStore_;
    std::optional<RegistryStore> store_;
    MachineDescription description_;
    std::unique_ptr<Session> session_;
    std::map<std::string, Handle> handles_;
};

const std::vector<StepKind>& Kinds()
{
    using W = Want;
    static const std::vector<StepKind> kinds = {
        {"restart", {"machine"}, {}, false, &Runner::Restart},
        {"board", {"slot"},
         {{"started", W::Bool}, {"status", W::Status}, {"number", W::Number}, {"kept", W::Bool}}, false,
         &Runner::BoardStep},
        {"list", {}, {{"status", W::Status}, {"count", W::Number}, {"numbers", W::Numbers}}, true, &Runner::ListStep},
        {"set_inputs", {"slot", "value"}, {}, false, &Runner::SetInputs},
        {"set_port", {"slot", "port", "value"}, {}, false, &Runner::SetPort},
        {"set_pin", {"slot", "channel", "level"}, {}, false, &Runner::SetPin},
        {"pulse", {"slot", "channel", "count"}, {}, false, &Runner::PulseStep},
        {"hardware", {"slot"},
         {{"inputs", W::Number}, {"enableRegister", W::Number}, {"edgeRegister", W::Number},
          {"statusRegister", W::Number}, {"line", W::Bool}, {"edgesSeen", W::Numbers}, {"latchCount", W::Numbers}},
         false, &Runner::HardwareStep},
        {"open", {"board", "mode", "as", "raw"}, {{"status", W::Status}}, true, &Runner::OpenStep},
        {"close", {"handle"}, {{"status", W::Status}}, true, &Runner::CloseStep},
        {"read_inputs", {"handle"}, {{"status", W::Status}, {"bytes", W::Bytes}}, true, &Runner::ReadInputs},
        {"read_ports", {"handle", "start", "count"}, {{"status", W::Status}, {"bytes", W::Bytes}}, true,
         &Runner::ReadPorts},
        {"port_read", {"handle", "port", "width"}, {{"status", W::Status}, {"value", W::Number}}, true,
         &Runner::PortRead},
        {"port_write", {"handle", "port", "width", "value"}, {{"status", W::Status}}, true, &Runner::PortWrite},
        {"set_trigger_edges", {"handle", "first", "edges"}, {{"status", W::Status}}, true, &Runner::SetTriggerEdges},
        {"arm", {"handle", "channel", "edge", "scanStart", "scanCount"}, {{"status", W::Status}}, true,
         &Runner::ArmStep},
        {"disarm", {"handle", "channel"}, {{"status", W::Status}}, true, &Runner::DisarmStep},
        {"wait_interrupt", {"handle", "channel", "timeoutMs"}, {{"status", W::Status}, {"bytes", W::Bytes}}, true,
         &Runner::WaitInterrupt},
        {"signal_general_event", {"handle"}, {{"status", W::Status}}, true, &Runner::SignalGeneral},
        {"wait_general_event", {"handle", "timeoutMs"}, {{"status", W::Status}}, true, &Runner::WaitGeneral},
        {"read_shared", {"handle"},
         {{"status", W::Status}, {"size", W::Number}, {"productId", W::Number}, {"boardNumber", W::Number},
          {"boardId", W::Number}, {"bus", W::Number}, {"slot", W::Number}, {"interruptLevel", W::Number},
          {"baseAddress", W::Number}, {"portLength", W::Number}, {"initOnLoad", W::Number},
          {"trigEdge", W::Bytes}, {"inversePorts", W::Bytes}, {"scanStart", W::Bytes}, {"scanCount", W::Bytes},
          {"snapshot", W::ByteRows}, {"intStatus", W::Number}, {"intPending", W::Numbers}},
         true, &Runner::ReadShared},
        {"read_value", {"handle", "value", "capacity"},
         {{"status", W::Status}, {"bytes", W::Bytes}, {"count", W::Number}}, true, &Runner::ReadValue},
        {"write_value", {"handle", "value", "type", "data"}, {{"status", W::Status}}, true, &Runner::WriteValue},
        {"get_location", {"handle", "capacity"}, {{"status", W::Status}, {"text", W::Text}}, true,
         &Runner::GetLocation},
        {"ioctl", {"handle", "code", "input", "outputLength"},
         {{"status", W::Status}, {"count", W::Number}, {"bytes", W::Bytes}}, true, &Runner::IoctlStep},
        {"registry_get", {"key", "value"},
         {{"exists", W::Bool}, {"type", W::Text}, {"value", W::Number}, {"text", W::Text}, {"bytes", W::Bytes}},
         false, &Runner::RegistryGet},
        {"registry_set", {"key", "value", "type", "data"}, {}, false, &Runner::RegistrySet},
        {"sleep", {"ms"}, {}, false, &Runner::SleepStep},
    };
    return kinds;
}

const StepKind* FindKind(const std::string& action)
{
    for (const StepKind& kind : Kinds())
        if (action == kind.action)
            return &kind;
    return nullptr;
}

std::string KnownActions()
{
    std::string names;
    for (const StepKind& kind : Kinds())
        names += std::string(names.empty() ? "" : ", ") + kind.action;
    return names;
}

// ---- the runner ----------------------------------------------------------------------

Runner::Runner(Context& context, const std::string& path, bool useStore)
    : context_(context), file_(path), directory_(fs::path(path).parent_path()), useStore_(useStore)
{
    document_ = ParseJsonFile(path);
}

MachineDescription Runner::DescriptionFrom(const JsonNode& node) const
{
    if (node.IsString()) {
        fs::path path(node.String());
        if (path.is_relative())
            path = directory_ / path;
        return LoadDescription(path.string());
    }
    return ParseDescription(node.json(), node.file(), node.pointer() == "/" ? "" : node.pointer());
}

void Runner::Boot(MachineDescription description)
{
    description_ = std::move(description);
    session_ = std::make_unique<Session>(description_);
    for (size_t slot = 0; slot < session_->slotCount(); ++slot)
        context_.out << "  " << session_->StartLine(slot) << "\n";
}

void Runner::Shutdown()
{
    handles_.clear();
    session_.reset();
}

std::vector<Step> Runner::ParseSteps(const JsonNode& steps) const
{
    std::vector<Step> parsed;
    for (size_t i = 0; i < steps.ArraySize(); ++i) {
        JsonNode node = steps.Element(i);
        if (!node.IsObject())
            node.Fail("a step is an object with one action, e.g. {\"read_inputs\": {\"handle\": \"h\"}}");
        std::string action;
        for (auto it = node.json().begin(); it != node.json().end(); ++it) {
            if (it.key() == "name" || it.key() == "expect" || it.key() == "comment")
                continue;
            if (!action.empty())
                node.Fail("a step has one action; this one has \"" + action + "\" and \"" + it.key() + "\"");
            action = it.key();
        }
        if (action.empty())
            node.Fail("the step has no action (known: " + KnownActions() + ")");
        const StepKind* kind = FindKind(action);
        if (!kind)
            node[action.c_str()].Fail("unknown action \"" + action + "\" (known: " + KnownActions() + ")");
        Step step{i, node.String("name", ""), action, node[action.c_str()], node.Find("expect"), kind};
        if (!step.args.IsObject())
            step.args.Fail("the arguments of \"" + action + "\" are an object ({} for none)");
        // Check every member now, so a typo late in the file fails before
        // anything runs.
        for (auto it = step.args.json().begin(); it != step.args.json().end(); ++it) {
            bool known = false;
            for (const char* arg : kind->args)
                known = known || it.key() == arg;
            if (!known) {
                std::string names;
                for (const char* arg : kind->args)
                    names += std::string(names.empty() ? "" : ", ") + arg;
                step.args[it.key().c_str()].Fail("\"" + action + "\" has no argument \"" + it.key() + "\" (" +
                                                  (names.empty() ? "it takes none" : "it takes " + names) + ")");
            }
        }
        if (step.expect) {
            if (!step.expect->IsObject())
                step.expect->Fail("\"expect\" is an object of results");
            for (auto it = step.expect->json().begin(); it != step.expect->json().end(); ++it) {
                const ExpectKey* key = nullptr;
                for (const ExpectKey& k : kind->expects)
                    if (it.key() == k.name)
                        key = &k;
                if (!key) {
                    std::string names;
                    for (const ExpectKey& k : kind->expects)
                        names += std::string(names.empty() ? "" : ", ") + k.name;
                    (*step.expect)[it.key().c_str()].Fail(
                        "\"" + action + "\" gives no result \"" + it.key() + "\" (" +
                        (names.empty() ? "it gives none" : "it gives " + names) + ")");
                }
                Expected((*step.expect)[it.key().c_str()], key->kind);
            }
        }
        parsed.push_back(step);
    }
    return parsed;
}

void Runner::Check(const Step& step, const Outcome& outcome) const
{
    auto fail = [&](const std::string& what) {
        throw Failed(file_ + ": " + step.Title() + " failed: " + what);
    };
    bool statusExpected = step.expect && step.expect->Has("status");
    if (step.kind->defaultSuccess && !statusExpected) {
        auto it = outcome.find("status");
        if (it != outcome.end() && it->second.status < 0)
            fail("status: expected success, got " + Show(it->second) + ": " + kor_status_text(it->second.status));
    }
    if (!step.expect)
        return;
    for (const ExpectKey& key : step.kind->expects) {
        auto node = step.expect->Find(key.name);
        if (!node)
            continue;
        Actual expected = Expected(*node, key.kind);
        auto it = outcome.find(key.name);
        if (it == outcome.end())
            fail(std::string(key.name) + ": expected " + Show(expected) + ", but there is none" +
                 (outcome.count("status") ? " (status " + Show(outcome.at("status")) + ")" : ""));
        if (!Same(expected, it->second))
            fail(std::string(key.name) + ": expected " + Show(expected) + ", got " + Show(it->second));
    }
}

ScenarioResult Runner::Run()
{
    JsonNode root(document_, file_);
    root.ExpectObject({"comment", "machine", "registry", "steps"});
    MachineDescription description = root.Has("machine") ? DescriptionFrom(root["machine"]) : context_.Description();
    std::vector<Step> steps = ParseSteps(root["steps"]);

    if (useStore_)
        store_.emplace(context_.OpenStore());
    else
        store_.emplace(RegistryStore::Memory());
    if (auto preset = root.Find("registry")) {
        std::string text;
        if (preset->IsArray()) {
            for (size_t i = 0; i < preset->ArraySize(); ++i)
                text += preset->Element(i).String() + "\n";
        } else {
            text = preset->String();
        }
        try {
            sim::Registry::Instance().Import(text);
        } catch (const sim::RegistryError& e) {
            preset->Fail(std::string("the registry text does not import: ") + e.what());
        }
    }

    context_.out << "scenario " << file_ << ": " << steps.size() << " step(s), registry "
                 << (useStore_ ? "store " + store_->path() : std::string("fresh, in memory")) << "\n";
    Boot(std::move(description));
    ScenarioResult result;
    for (const Step& step : steps) {
        Outcome outcome = (this->*step.kind->run)(step);
        Check(step, outcome);
        ++result.stepsRun;
        std::string summary;
        for (const auto& [name, actual] : outcome)
            if (name == "status" || (step.expect && step.expect->Has(name.c_str())))
                summary += (summary.empty() ? ": " : ", ") + name + " " + Show(actual);
        context_.out << "  ok " << step.Title() << summary << "\n";
    }
    Shutdown();
    context_.out << "scenario passed: " << result.stepsRun << " step(s)\n";
    return result;
}

// ---- arguments -----------------------------------------------------------------------

size_t Runner::Slot(const Step& step) const
{
    JsonNode node = step.args["slot"];
    std::string text = node.IsString() ? node.String() : std::to_string(node.Unsigned(UINT32_MAX));
    auto slot = description_.FindBoard(text);
    if (!slot)
        node.Fail("no board \"" + text + "\" in the machine (" + std::to_string(description_.boards.size()) +
                  " boards: give an index or a name)");
    return *slot;
}

Handle& Runner::HandleOf(const Step& step, bool raw)
{
    JsonNode node = step.args["handle"];
    std::string name = node.String();
    auto it = handles_.find(name);
    if (it == handles_.end())
        node.Fail("no open handle \"" + name + "\" (an earlier \"open\" step names it with \"as\")");
    if (it->second.raw != raw)
        node.Fail("the handle \"" + name + "\" was opened " +
                  (raw ? "through the library; \"ioctl\" needs one opened with \"raw\": true"
                       : "raw; library calls need one opened without \"raw\""));
    return it->second;
}

// A number, or "base", "base+N": N ports into the board's range.
uint32_t Runner::Port(const Step& step, const JsonNode& node, const Handle& handle) const
{
    if (node.IsString()) {
        std::string text = node.String();
        if (text.rfind("base", 0) == 0) {
            uint32_t base = session_->machine().PortBase(handle.slot);
            if (text == "base")
                return base;
            auto offset = text.size() > 5 && text[4] == '+' ? ParseUnsigned(text.substr(5)) : std::nullopt;
            if (!offset || *offset > 0xFFFF)
                node.Fail("expected \"base\", \"base+N\" or a number, found \"" + text + "\"");
            return base + static_cast<uint32_t>(*offset);
        }
    }
    return static_cast<uint32_t>(node.Unsigned(UINT32_MAX));
}

unsigned Runner::Channel(const Step& step) const
{
    return static_cast<unsigned>(step.args["channel"].Unsigned(UINT32_MAX));
}

uint32_t Word(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
}

// ---- the steps -------------------------------------------------------------------------

Outcome Runner::Restart(const Step& step)
{
    MachineDescription next = description_;
    if (auto machine = step.args.Find("machine"))
        next = DescriptionFrom(*machine);
    Shutdown();
    context_.out << "  restarting the machine\n";
    Boot(std::move(next));
    return {};
}

Outcome Runner::BoardStep(const Step& step)
{
    const BoardStart& start = session_->starts().at(Slot(step));
    Outcome outcome{{"started", Actual::Bool(start.started)}, {"status", Actual::Status(start.status)}};
    if (start.started) {
        outcome["number"] = Actual::Number(start.number);
        outcome["kept"] = Actual::Bool(start.kept);
    }
    return outcome;
}

Outcome Runner::ListStep(const Step& step)
{
    kor_board_info infos[64];
    uint32_t count = 0;
    kor_status status = kor_list_boards(infos, 64, &count);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0) {
        std::vector<uint64_t> numbers;
        for (uint32_t i = 0; i < count && i < 64; ++i)
            numbers.push_back(infos[i].board_number);
        outcome["count"] = Actual::Number(count);
        outcome["numbers"] = Actual::Numbers(numbers);
    }
    return outcome;
}

Outcome Runner::SetInputs(const Step& step)
{
    session_->board(Slot(step)).SetInputs(static_cast<uint32_t>(step.args["value"].Unsigned(0xFFFFFFFFu)));
    return {};
}

Outcome Runner::SetPort(const Step& step)
{
    session_->board(Slot(step))
        .SetInputPort(static_cast<unsigned>(step.args["port"].Unsigned(3)),
                      static_cast<uint8_t>(step.args["value"].Unsigned(0xFF)));
    return {};
}

Outcome Runner::SetPin(const Step& step)
{
    session_->board(Slot(step)).SetPin(static_cast<unsigned>(step.args["channel"].Unsigned(3)),
                                       step.args["level"].Bool());
    return {};
}

Outcome Runner::PulseStep(const Step& step)
{
    sim::Mdx4208Board& board = session_->board(Slot(step));
    const unsigned channel = static_cast<unsigned>(step.args["channel"].Unsigned(3));
    for (uint64_t k = step.args.Unsigned("count", 100000, 1); k > 0; --k)
        board.Pulse(channel);
    return {};
}

Outcome Runner::HardwareStep(const Step& step)
{
    sim::Mdx4208Board& board = session_->board(Slot(step));
    std::vector<uint64_t> edges, latches;
    for (unsigned channel = 0; channel < 4; ++channel) {
        edges.push_back(board.EdgesSeen(channel));
        latches.push_back(board.LatchCount(channel));
    }
    return {{"inputs", Actual::Number(board.Inputs())},
            {"enableRegister", Actual::Number(board.Register(sim::mdx4208::kIntEnableReg))},
            {"edgeRegister", Actual::Number(board.Register(sim::mdx4208::kTriggerEdgeReg))},
            {"statusRegister", Actual::Number(board.Register(sim::mdx4208::kIntStatusReg))},
            {"line", Actual::Bool(board.InterruptLine())},
            {"edgesSeen", Actual::Numbers(edges)},
            {"latchCount", Actual::Numbers(latches)}};
}

Outcome Runner::OpenStep(const Step& step)
{
    const uint32_t number = static_cast<uint32_t>(step.args["board"].Unsigned(UINT32_MAX));
    const std::string mode = step.args.String("mode", "shared");
    if (mode != "shared" && mode != "privileged")
        step.args["mode"].Fail("the mode is \"shared\" or \"privileged\"");
    const bool privileged = mode == "privileged";
    const std::string name = step.args.String("as", "");
    if (!name.empty() && handles_.count(name))
        step.args["as"].Fail("a handle named \"" + name + "\" is open already; close it first");
    Handle handle;
    handle.raw = step.args.Bool("raw", false);
    handle.number = number;
    int32_t status;
    if (handle.raw) {
        // A raw open goes to the device path of the board with that number,
        // as the library would find it.
        auto slot = session_->SlotOfNumber(number);
        if (!slot)
            return {{"status", Actual::Status(STATUS_OBJECT_NAME_NOT_FOUND)}};
        handle.slot = *slot;
        status = handle.device.Open(session_->starts()[*slot].devicePath,
                                    privileged ? kPrivilegedAccess : kSharedAccess);
    } else {
        status = handle.library.Open(number, privileged ? KOR_OPEN_PRIVILEGED : KOR_OPEN_SHARED);
        if (auto slot = session_->SlotOfNumber(number))
            handle.slot = *slot;
    }
    // Without a name the handle is closed again at once.
    if (status >= 0 && !name.empty())
        handles_[name] = std::move(handle);
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::CloseStep(const Step& step)
{
    JsonNode node = step.args["handle"];
    auto it = handles_.find(node.String());
    if (it == handles_.end())
        node.Fail("no open handle \"" + node.String() + "\"");
    int32_t status = it->second.raw ? (it->second.device.Close(), int32_t{0}) : it->second.library.Close();
    handles_.erase(it);
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::ReadInputs(const Step& step)
{
    uint8_t ports[4] = {};
    kor_status status = kor_read_inputs(HandleOf(step, false).library.get(), ports);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0)
        outcome["bytes"] = Actual::Bytes({ports, ports + 4});
    return outcome;
}

Outcome Runner::ReadPorts(const Step& step)
{
    const uint32_t start = static_cast<uint32_t>(step.args.Unsigned("start", UINT32_MAX, 0));
    const uint32_t count = static_cast<uint32_t>(step.args.Unsigned("count", 64, 4));
    std::vector<uint8_t> out(count);
    kor_status status = kor_read_ports(HandleOf(step, false).library.get(), start, count, out.data());
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0)
        outcome["bytes"] = Actual::Bytes(out);
    return outcome;
}

Outcome Runner::PortRead(const Step& step)
{
    Handle& handle = HandleOf(step, false);
    uint32_t value = 0;
    kor_status status = kor_port_read(handle.library.get(), Port(step, step.args["port"], handle),
                                      static_cast<uint32_t>(step.args.Unsigned("width", UINT32_MAX, 1)), &value);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0)
        outcome["value"] = Actual::Number(value);
    return outcome;
}

Outcome Runner::PortWrite(const Step& step)
{
    Handle& handle = HandleOf(step, false);
    kor_status status = kor_port_write(handle.library.get(), Port(step, step.args["port"], handle),
                                       static_cast<uint32_t>(step.args.Unsigned("width", UINT32_MAX, 1)),
                                       static_cast<uint32_t>(step.args["value"].Unsigned(0xFFFFFFFFu)));
    return {{"status", Actual::Status(status)}};
}

std::vector<uint8_t> Edges(const JsonNode& node)
{
    std::vector<uint8_t> edges;
    for (size_t i = 0; i < node.ArraySize(); ++i) {
        JsonNode element = node.Element(i);
        std::optional<uint8_t> edge = element.IsString() ? ParseEdge(element.String())
                                                         : std::optional<uint8_t>(element.Unsigned(0xFF));
        if (!edge)
            element.Fail("an edge is \"rising\", \"falling\" or the driver's byte value");
        edges.push_back(*edge);
    }
    return edges;
}

Outcome Runner::SetTriggerEdges(const Step& step)
{
    std::vector<uint8_t> edges = Edges(step.args["edges"]);
    kor_status status = kor_set_trigger_edges(HandleOf(step, false).library.get(),
                                              static_cast<uint32_t>(step.args.Unsigned("first", UINT32_MAX, 0)),
                                              static_cast<uint32_t>(edges.size()), edges.data());
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::ArmStep(const Step& step)
{
    uint8_t edge = KOR_EDGE_RISING;
    if (auto node = step.args.Find("edge")) {
        auto parsed = node->IsString() ? ParseEdge(node->String()) : std::optional<uint8_t>(node->Unsigned(0xFF));
        if (!parsed)
            node->Fail("an edge is \"rising\", \"falling\" or the driver's byte value");
        edge = *parsed;
    }
    kor_status status = kor_arm(HandleOf(step, false).library.get(), Channel(step), edge,
                                static_cast<uint32_t>(step.args.Unsigned("scanStart", UINT32_MAX, 0)),
                                static_cast<uint32_t>(step.args.Unsigned("scanCount", UINT32_MAX, 4)));
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::DisarmStep(const Step& step)
{
    return {{"status", Actual::Status(kor_disarm(HandleOf(step, false).library.get(), Channel(step)))}};
}

Outcome Runner::WaitInterrupt(const Step& step)
{
    uint8_t snapshot[4] = {};
    kor_status status =
        kor_wait_interrupt(HandleOf(step, false).library.get(), Channel(step),
                           static_cast<uint32_t>(step.args.Unsigned("timeoutMs", 0xFFFFFFFFu, 1000)), snapshot);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0)
        outcome["bytes"] = Actual::Bytes({snapshot, snapshot + 4});
    return outcome;
}

Outcome Runner::SignalGeneral(const Step& step)
{
    return {{"status", Actual::Status(kor_signal_general_event(HandleOf(step, false).library.get()))}};
}

Outcome Runner::WaitGeneral(const Step& step)
{
    kor_status status = kor_wait_general_event(HandleOf(step, false).library.get(),
                                               static_cast<uint32_t>(step.args.Unsigned("timeoutMs", 0xFFFFFFFFu, 1000)));
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::ReadShared(const Step& step)
{
    kor_shared_view v{};
    kor_status status = kor_read_shared(HandleOf(step, false).library.get(), &v);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status < 0)
        return outcome;
    auto bytes4 = [](const uint8_t* b) { return Actual::Bytes({b, b + 4}); };
    std::vector<std::vector<uint8_t>> snapshots;
    for (auto& row : v.snapshot)
        snapshots.emplace_back(row, row + 4);
    outcome["size"] = Actual::Number(v.size);
    outcome["productId"] = Actual::Number(v.product_id);
    outcome["boardNumber"] = Actual::Number(v.board_number);
    outcome["boardId"] = Actual::Number(v.board_id);
    outcome["bus"] = Actual::Number(v.bus);
    outcome["slot"] = Actual::Number(v.slot);
    outcome["interruptLevel"] = Actual::Number(v.interrupt_level);
    outcome["baseAddress"] = Actual::Number(v.base_address);
    outcome["portLength"] = Actual::Number(v.port_length);
    outcome["initOnLoad"] = Actual::Number(v.init_on_load);
    outcome["trigEdge"] = bytes4(v.trig_edge);
    outcome["inversePorts"] = bytes4(v.inverse_ports);
    outcome["scanStart"] = bytes4(v.scan_start);
    outcome["scanCount"] = bytes4(v.scan_count);
    outcome["snapshot"] = Actual::Rows(snapshots);
    outcome["intStatus"] = Actual::Number(v.int_status);
    outcome["intPending"] = Actual::Numbers({v.int_pending[0], v.int_pending[1], v.int_pending[2], v.int_pending[3]});
    return outcome;
}

Outcome Runner::ReadValue(const Step& step)
{
    const std::string name = step.args["value"].String();
    const uint32_t capacity = static_cast<uint32_t>(step.args.Unsigned("capacity", 65536, 256));
    std::vector<uint8_t> data(capacity);
    uint32_t length = 0;
    kor_status status =
        kor_read_value(HandleOf(step, false).library.get(), name.c_str(), data.data(), capacity, &length);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0) {
        data.resize(std::min(length, capacity));
        outcome["bytes"] = Actual::Bytes(data);
        outcome["count"] = Actual::Number(length);
    }
    return outcome;
}

Outcome Runner::WriteValue(const Step& step)
{
    const std::string name = step.args["value"].String();
    JsonNode typeNode = step.args["type"];
    auto type = ParseValueType(typeNode.String());
    if (!type)
        typeNode.Fail("unknown value type \"" + typeNode.String() + "\"");
    JsonNode dataNode = step.args["data"];
    sim::RegValue value;
    try {
        value = MakeValue(*type, dataNode.IsString() ? dataNode.String() : std::to_string(dataNode.Unsigned(UINT64_MAX)));
    } catch (const ToolError& e) {
        dataNode.Fail(e.what());
    }
    kor_status status = kor_write_value(HandleOf(step, false).library.get(), name.c_str(), *type, value.data.data(),
                                        static_cast<uint32_t>(value.data.size()));
    return {{"status", Actual::Status(status)}};
}

Outcome Runner::GetLocation(const Step& step)
{
    const uint32_t capacity = static_cast<uint32_t>(step.args.Unsigned("capacity", 65536, 256));
    std::vector<char> text(capacity + 1, 0);
    kor_status status = kor_get_location(HandleOf(step, false).library.get(), text.data(), capacity);
    Outcome outcome{{"status", Actual::Status(status)}};
    if (status >= 0)
        outcome["text"] = Actual::Text(text.data());
    return outcome;
}

// The input is hex text, or an array of hex texts and {"u8"|"u16"|"u32": value}
// items, where a value may be "base+N" for an address in the board's range.
std::vector<uint8_t> IoctlInput(const JsonNode& node,
                                const std::function<uint32_t(const JsonNode&)>& port)
{
    if (!node.IsArray())
        return node.Bytes();
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < node.ArraySize(); ++i) {
        JsonNode item = node.Element(i);
        if (item.IsString()) {
            auto more = item.Bytes();
            bytes.insert(bytes.end(), more.begin(), more.end());
            continue;
        }
        item.ExpectObject({"u8", "u16", "u32"});
        if (item.json().size() != 1)
            item.Fail("an item is one of {\"u8\": v}, {\"u16\": v}, {\"u32\": v}");
        const std::string width = item.json().begin().key();
        const unsigned size = width == "u8" ? 1 : width == "u16" ? 2 : 4;
        const uint64_t value = port(item[width.c_str()]);
        if (size < 4 && value >> (8 * size))
            item[width.c_str()].Fail("the value does not fit in " + width);
        for (unsigned b = 0; b < size; ++b)
            bytes.push_back(static_cast<uint8_t>(value >> (8 * b)));
    }
    return bytes;
}

Outcome Runner::IoctlStep(const Step& step)
{
    Handle& handle = HandleOf(step, true);
    JsonNode codeNode = step.args["code"];
    auto code = codeNode.IsString() ? ParseControlCode(codeNode.String())
                                    : std::optional<uint32_t>(codeNode.Unsigned(0xFFFFFFFFu));
    if (!code)
        codeNode.Fail("unknown control code \"" + codeNode.String() + "\"");
    std::vector<uint8_t> input;
    if (auto node = step.args.Find("input"))
        input = IoctlInput(*node, [&](const JsonNode& n) { return Port(step, n, handle); });
    const uint32_t outputLength = static_cast<uint32_t>(step.args.Unsigned("outputLength", 65536, 0));
    RawResult result = RawIoctl(handle.device.get(), *code, input, outputLength);
    const uint32_t shown = std::min<uint32_t>(result.bytes, outputLength);
    return {{"status", Actual::Status(result.status)},
            {"count", Actual::Number(result.bytes)},
            {"bytes", Actual::Bytes({result.output.begin(), result.output.begin() + shown})}};
}

Outcome Runner::RegistryGet(const Step& step)
{
    const std::string key = ResolveKeyPath(step.args["key"].String());
    const std::string name = step.args.String("value", "");
    auto& registry = sim::Registry::Instance();
    std::optional<sim::RegValue> value;
    if (registry.KeyExists(key))
        value = registry.GetValue(key, name);
    Outcome outcome{{"exists", Actual::Bool(value.has_value())}};
    if (value) {
        outcome["type"] = Actual::Text(ValueTypeName(value->type));
        outcome["bytes"] = Actual::Bytes(value->data);
        if (value->data.size() == 4)
            outcome["value"] = Actual::Number(Word(value->data.data()));
        if (value->type == 1 || value->type == 2)
            outcome["text"] = Actual::Text(StringOf(*value));
    }
    return outcome;
}

Outcome Runner::RegistrySet(const Step& step)
{
    const std::string key = ResolveKeyPath(step.args["key"].String());
    JsonNode typeNode = step.args["type"];
    auto type = ParseValueType(typeNode.String());
    if (!type)
        typeNode.Fail("unknown value type \"" + typeNode.String() + "\"");
    JsonNode dataNode = step.args["data"];
    sim::RegValue value;
    try {
        value = MakeValue(*type, dataNode.IsString() ? dataNode.String() : std::to_string(dataNode.Unsigned(UINT64_MAX)));
    } catch (const ToolError& e) {
        dataNode.Fail(e.what());
    }
    sim::Registry::Instance().SetValue(key, step.args.String("value", ""), value);
    return {};
}

Outcome Runner::SleepStep(const Step& step)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(step.args["ms"].Unsigned(60000)));
    return {};
}

}  // namespace

ScenarioResult RunScenario(Context& context, const std::string& path, bool useStore)
{
    Runner runner(context, path, useStore);
    return runner.Run();
}

}  // namespace tool
