// Waiting for a host on a listening socket, for the modes that serve hosts
// one connection at a time.
#pragma once

#include "sim_os.h"

#include <string>

namespace vxsim {

// Waits up to timeoutMs (0: no limit) for a host to connect and returns its
// socket; kNoSocket when none came, with the reason in err (empty when a
// stop was requested).
os::Socket acceptHost(os::Socket listener, int timeoutMs, std::string& err);

// "60 s", or "250 ms" when not whole seconds: for messages about limits.
std::string durationText(int ms);

}  // namespace vxsim
