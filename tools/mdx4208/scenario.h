// Scenario files: a machine (inline or by file), registry text to preset, and
// steps that drive the board's inputs, open boards, make library calls and
// raw requests, wait for interrupts and read the registry, each with the
// results it expects. The run stops at the first expectation that fails.
#pragma once

#include <iosfwd>
#include <string>

#include "context.h"

namespace tool {

struct ScenarioResult {
    int exitCode = 0;
    size_t stepsRun = 0;
};

// Runs the scenario in `path`. Progress goes to `out`; a failed expectation
// throws a failed ToolError naming the step, a bad file a bad-input one.
ScenarioResult RunScenario(Context& context, const std::string& path, bool useStore);

}  // namespace tool
