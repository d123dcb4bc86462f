// The tool's commands. Each boots the described machine over the registry
// store, does its work, shuts the machine down and returns an exit code;
// errors that end a command are thrown as ToolError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "context.h"

namespace tool {

int Demo(Context& context);

int List(Context& context, bool json);

struct ReadOptions {
    std::optional<uint32_t> board;   // board number; the lowest started one when absent
    std::optional<uint32_t> inputs;  // drive the board's 32 lines to this first
    unsigned start = 0;              // ports start..start+count-1 (IOCTL_READ_DI_PORTS)
    unsigned count = 4;
    bool json = false;
};
int Read(Context& context, const ReadOptions& options);

struct ArmOptions {
    std::optional<uint32_t> board;
    unsigned channel = 0;
    bool rising = true;
    unsigned scanStart = 0;
    unsigned scanCount = 4;
    unsigned pulses = 1;        // edges the tool makes on the channel's pin after arming
    unsigned timeoutMs = 1000;  // for each event
};
int Arm(Context& context, const ArmOptions& options);

struct DisarmOptions {
    std::optional<uint32_t> board;
    unsigned channel = 0;
    bool armFirst = false;  // arm the channel (rising edge) before disarming it
};
int Disarm(Context& context, const DisarmOptions& options);

struct EdgesOptions {
    std::optional<uint32_t> board;
    unsigned first = 0;
    std::vector<std::string> edges;  // "rising"/"falling" (or 1/0) for channels first..
};
int Edges(Context& context, const EdgesOptions& options);

struct IoctlOptions {
    std::optional<uint32_t> board;
    bool privileged = false;
    std::string code;   // a name of the table or a number
    std::string input;  // hex bytes
    uint32_t outputLength = 0;
    bool json = false;
};
int Ioctl(Context& context, const IoctlOptions& options);

struct WatchOptions {
    std::optional<uint32_t> board;
    std::vector<unsigned> channels;  // empty: the channels whose pins a generator drives
    bool rising = true;
    double duration = 0;  // seconds; 0 runs until SIGINT
    bool terminal = false;
};
int Watch(Context& context, const WatchOptions& options);

struct RunOptions {
    std::string script;
    bool useStore = false;  // run over the registry store instead of a fresh registry
};
int Run(Context& context, const RunOptions& options);

}  // namespace tool
