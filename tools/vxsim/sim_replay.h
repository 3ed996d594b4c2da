// `vxsim replay`: plays the viewer's side of a recording to a host and
// checks that the host writes what the recorded host wrote.
#pragma once

#include "sim_os.h"
#include "sim_recording.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vxsim {

struct ReplayOptions {
  // A host frame may differ from the recorded one when both match one of
  // these patterns (sim_pattern.h), each applied to the message as a user
  // reads it: a call without "EXE " and its final line feed ("Add(2,*)"),
  // a system call without its line feed ("SYS *"), an answer as it is
  // ("RET 0,*").
  std::vector<std::string> allow;
  int timeoutMs = 60000;  // the longest wait for a host, or for its next frame
  bool trace = false;
};

struct ReplayOutcome {
  bool ok = false;
  std::string report;  // the first divergence, when not ok
  std::size_t hostFrames = 0, viewerFrames = 0;
};

// Plays one recorded session over a connected host's socket.
ReplayOutcome replaySession(os::Socket host, const RecordedSession& session, const ReplayOptions& options);

// Serves the recording's sessions to one host after another on `listener`.
// Returns the exit status: 0 when every session went as recorded, else 1
// after the first divergence's report on stderr.
int runReplay(os::Socket listener, const Recording& recording, const ReplayOptions& options);

}  // namespace vxsim
