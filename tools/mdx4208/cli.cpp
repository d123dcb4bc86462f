#include "cli.h"

#include <unistd.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "json_reader.h"
#include "reg_commands.h"
#include "scenario.h"
#include "tool_error.h"

namespace tool {

namespace {

// A board number option; absent means the lowest started board.
struct BoardOption {
    uint32_t value = 0;
    CLI::Option* option = nullptr;
    void Add(CLI::App* app)
    {
        option = app->add_option("-b,--board", value, "board number (default: the lowest started board)")
                     ->check(CLI::Range(0u, 1023u));
    }
    std::optional<uint32_t> get() const { return *option ? std::optional<uint32_t>(value) : std::nullopt; }
};

// Numbers given as decimal or 0x hex.
CLI::Validator NumberText(uint64_t max)
{
    return CLI::Validator(
        [max](std::string& text) -> std::string {
            auto value = ParseUnsigned(text);
            if (!value || *value > max)
                return "\"" + text + "\" is not a number from 0 to " + std::to_string(max);
            return {};
        },
        "NUMBER");
}

}  // namespace

int RunTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    CLI::App app("mdx4208: runs a simulated machine with MDX-4208 boards and their driver, and talks to the "
                 "boards the way an application does.\nEvery command boots the machine from its description over "
                 "the registry store, does its work and shuts the machine down.",
                 "mdx4208");
    app.footer(kExitCodesText);
    app.require_subcommand(1);
    app.fallthrough();
    GlobalOptions global;
    app.add_option("-m,--machine", global.machineFile,
                   "machine description (JSON); default: the embedded two-board machine")
        ->check(CLI::ExistingFile);
    app.add_option("-s,--state", global.stateDir,
                   "directory of the registry store (DIR/registry.sqlite); default: $XDG_STATE_HOME/mdx4208 or "
                   "~/.local/state/mdx4208");

    auto footer = [](CLI::App* sub) {
        sub->footer(std::string("The global options --machine FILE and --state DIR go before or after the "
                                "command.\n") +
                    kExitCodesText);
        return sub;
    };

    CLI::App* demo = footer(app.add_subcommand(
        "demo", "boot the machine, list its boards with their numbers, read inputs, arm a channel, drive edges and "
                "show the events and a board's registry record"));

    bool listJson = false;
    CLI::App* list = footer(app.add_subcommand("list", "the boards of the machine: numbers, places, start results"));
    list->add_flag("--json", listJson, "JSON output");

    ReadOptions read;
    BoardOption readBoard;
    std::string readInputs;
    CLI::App* readCmd = footer(app.add_subcommand("read", "read a board's input ports through the library"));
    readBoard.Add(readCmd);
    CLI::Option* readInputsOption =
        readCmd->add_option("--inputs", readInputs, "drive the board's 32 input lines to this value first")
            ->check(NumberText(0xFFFFFFFFu));
    readCmd->add_option("--start", read.start, "first port (0 to 3)")->check(CLI::Range(0u, 3u));
    readCmd->add_option("--count", read.count, "ports to read (0 to 4), cycling 3 -> 0")->check(CLI::Range(0u, 4u));
    readCmd->add_flag("--json", read.json, "JSON output");

    ArmOptions arm;
    BoardOption armBoard;
    std::string armEdge = "rising";
    CLI::App* armCmd = footer(app.add_subcommand(
        "arm", "arm a channel through the privileged handle, make edges on its pin and show each event"));
    armBoard.Add(armCmd);
    armCmd->add_option("-c,--channel", arm.channel, "interrupt channel (0 to 3)")->check(CLI::Range(0u, 3u));
    armCmd->add_option("--edge", armEdge, "rising or falling")->check(CLI::IsMember({"rising", "falling"}));
    armCmd->add_option("--scan-start", arm.scanStart, "first port of the snapshot (0 to 3)");
    armCmd->add_option("--scan-count", arm.scanCount, "ports in the snapshot (0 to 4)");
    armCmd->add_option("--pulses", arm.pulses, "edges to make on the pin after arming")->check(CLI::Range(0u, 100000u));
    armCmd->add_option("--timeout", arm.timeoutMs, "milliseconds to wait for each event");

    DisarmOptions disarm;
    BoardOption disarmBoard;
    CLI::App* disarmCmd = footer(app.add_subcommand(
        "disarm", "disarm a channel and show that an edge on its pin no longer latches an interrupt"));
    disarmBoard.Add(disarmCmd);
    disarmCmd->add_option("-c,--channel", disarm.channel, "interrupt channel (0 to 3)")->check(CLI::Range(0u, 3u));
    disarmCmd->add_flag("--arm-first", disarm.armFirst, "arm the channel (rising edge) before disarming it");

    EdgesOptions edges;
    BoardOption edgesBoard;
    CLI::App* edgesCmd = footer(app.add_subcommand("edges", "set the trigger edges of channels"));
    edgesBoard.Add(edgesCmd);
    edgesCmd->add_option("--first", edges.first, "first channel (0 to 3)")->check(CLI::Range(0u, 3u));
    edgesCmd->add_option("edges", edges.edges, "rising or falling (or 1 or 0), one per channel")->required();

    RegOptions reg;
    CLI::App* regCmd = footer(app.add_subcommand(
        "reg", "the registry store: export, import, get, set (keys relative to the driver's service key unless "
               "they start with \\REGISTRY or HKEY_)"));
    regCmd->require_subcommand(1);
    CLI::App* regExport = footer(regCmd->add_subcommand("export", "a key and its subkeys in the registry editor's text format"));
    regExport->add_option("key", reg.key, "key (default: the service key)");
    regExport->add_flag("--boot", reg.boot, "boot the machine first, so its boards' records are written");
    CLI::App* regImport = footer(regCmd->add_subcommand("import", "apply a registry editor file to the store, all or nothing"));
    regImport->add_option("file", reg.file, "the .reg file")->required();
    CLI::App* regGet = footer(regCmd->add_subcommand("get", "one value"));
    regGet->add_option("key", reg.key, "key")->required();
    regGet->add_option("name", reg.name, "value name (\"\" for the default value)")->required();
    regGet->add_flag("--boot", reg.boot, "boot the machine first");
    CLI::App* regSet = footer(regCmd->add_subcommand("set", "create or replace one value"));
    regSet->add_option("key", reg.key, "key")->required();
    regSet->add_option("name", reg.name, "value name")->required();
    regSet->add_option("type", reg.type, "REG_DWORD, REG_QWORD, REG_SZ, REG_EXPAND_SZ, REG_BINARY or REG_MULTI_SZ")
        ->required();
    regSet->add_option("data", reg.data, "number, text, hex bytes, or strings separated by |")->required();

    IoctlOptions ioctl;
    BoardOption ioctlBoard;
    CLI::App* ioctlCmd = footer(app.add_subcommand(
        "ioctl", "send one raw control request and print its status, byte count and output bytes"));
    ioctlBoard.Add(ioctlCmd);
    ioctlCmd->add_option("code", ioctl.code, "control code: a name (IOCTL_READ_PORT, READ_PORT) or a number")->required();
    ioctlCmd->add_option("input", ioctl.input, "input bytes as hex (\"00 d0 00 00\")");
    ioctlCmd->add_option("-o,--out", ioctl.outputLength, "output buffer length in bytes")
        ->check(CLI::Range(0u, 65536u));
    ioctlCmd->add_flag("-p,--privileged", ioctl.privileged, "open the privileged handle");
    ioctlCmd->add_flag("--json", ioctl.json, "JSON output");

    WatchOptions watch;
    BoardOption watchBoard;
    std::string watchEdge = "rising";
    CLI::App* watchCmd = footer(app.add_subcommand(
        "watch", "a live view of a board driven by the description's generators (redrawn on a terminal, one line "
                 "per event otherwise)"));
    watchBoard.Add(watchCmd);
    watchCmd->add_option("-c,--channel", watch.channels,
                         "channels to arm (default: those whose pins a generator drives)")
        ->check(CLI::Range(0u, 3u));
    watchCmd->add_option("--edge", watchEdge, "rising or falling")->check(CLI::IsMember({"rising", "falling"}));
    watchCmd->add_option("-d,--duration", watch.duration, "seconds to run (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);

    RunOptions run;
    CLI::App* runCmd = footer(app.add_subcommand(
        "run", "run a scenario (JSON): steps with expected results; stops at the first that fails"));
    runCmd->add_option("script", run.script, "the scenario file")->required()->check(CLI::ExistingFile);
    runCmd->add_flag("--use-store", run.useStore,
                     "run over the registry store (default: a fresh registry in memory)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? kExitOk : kExitBadInput;
    }

    Context context{global, out, err};
    try {
        if (*demo)
            return Demo(context);
        if (*list)
            return List(context, listJson);
        if (*readCmd) {
            read.board = readBoard.get();
            if (*readInputsOption)
                read.inputs = static_cast<uint32_t>(*ParseUnsigned(readInputs));
            return Read(context, read);
        }
        if (*armCmd) {
            arm.board = armBoard.get();
            arm.rising = armEdge == "rising";
            return Arm(context, arm);
        }
        if (*disarmCmd) {
            disarm.board = disarmBoard.get();
            return Disarm(context, disarm);
        }
        if (*edgesCmd) {
            edges.board = edgesBoard.get();
            return Edges(context, edges);
        }
        if (*regCmd) {
            if (*regExport)
                return RegExport(context, reg);
            if (*regImport)
                return RegImport(context, reg);
            if (*regGet)
                return RegGet(context, reg);
            return RegSet(context, reg);
        }
        if (*ioctlCmd) {
            ioctl.board = ioctlBoard.get();
            return Ioctl(context, ioctl);
        }
        if (*watchCmd) {
            watch.board = watchBoard.get();
            watch.rising = watchEdge == "rising";
            watch.terminal = isatty(STDOUT_FILENO) == 1;
            return Watch(context, watch);
        }
        if (*runCmd)
            return RunScenario(context, run.script, run.useStore).exitCode;
    } catch (const ToolError& e) {
        out << std::flush;
        err << "mdx4208: " << e.what() << "\n";
        return e.code();
    }
    return kExitBadInput;
}

}  // namespace tool
