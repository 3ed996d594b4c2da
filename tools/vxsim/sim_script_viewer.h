// The scripted viewer's answer to one call or system call of the host: the
// actions of the first rule that matches, else the script's default.
#pragma once

#include "sim_frame.h"
#include "sim_script.h"
#include "sim_viewer.h"

#include <vector>

namespace vxsim {

// `viewer` is the state of vxsim's own viewer, for "default builtin".
std::vector<Action> respond(const Script& script, ViewerState& viewer, const Message& call);

}  // namespace vxsim
