// The command lines of `vxsim proxy`, `vxsim replay` and `vxsim wait`, the
// modes for testing hosts with recorded sessions (see vxsim --help).
#pragma once

#include <string>

namespace vxsim {

bool isRecordingCommand(const std::string& word);
// Parses and runs one of them; returns the process's exit status.
int runRecordingCommand(int argc, char** argv);

}  // namespace vxsim
