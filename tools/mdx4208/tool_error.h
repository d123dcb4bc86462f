// Exit codes of the tool and the error that carries one up to main.
#pragma once

#include <stdexcept>
#include <string>

namespace tool {

// Scripts rely on these.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,    // a request or an expectation failed, or the board asked for is missing
    kExitBadInput = 2,  // bad arguments or a bad file
};

inline constexpr const char* kExitCodesText =
    "Exit codes: 0 ok; 1 a request or an expectation failed, or the board asked for did not start; "
    "2 bad arguments or a bad file (machine description, scenario, registry text), named with where in it.";

// Thrown with the message the user sees and the exit code to leave with.
class ToolError : public std::runtime_error {
public:
    ToolError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

inline ToolError BadInput(const std::string& message) { return ToolError(kExitBadInput, message); }
inline ToolError Failed(const std::string& message) { return ToolError(kExitFailed, message); }

}  // namespace tool
