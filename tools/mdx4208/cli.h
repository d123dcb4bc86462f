// The command line: parses the arguments, runs the command, and turns every
// outcome into one of the documented exit codes.
#pragma once

#include <iosfwd>

namespace tool {

int RunTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tool
