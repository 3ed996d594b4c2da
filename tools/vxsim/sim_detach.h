// A replay in the background, for the fixtures of a test runner (CTest):
// `vxsim replay ... --detach LOG` returns as soon as the replay listens, and
// `vxsim wait LOG` later waits for its end and exits with its status.
#pragma once

#include <string>
#include <vector>

namespace vxsim {

// The last line a background replay writes into its log.
inline constexpr const char* kStatusLine = "vxsim: exit status ";

// Starts vxsim with args plus "--detached", its output into log; prints its
// "listening on port P" once it listens. Returns the exit status for the
// caller: 0, or the background one's when it ended first (1 on time-out).
int startInBackground(const std::vector<std::string>& args, const std::string& log, int timeoutMs);

// Waits (timeoutMs 0: without a limit) for the status line in log, prints
// the log and returns the status; 1 when it did not come in time.
int waitForBackground(const std::string& log, int timeoutMs);

}  // namespace vxsim
