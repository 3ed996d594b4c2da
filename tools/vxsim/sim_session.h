// One connection with a host: serves the host's calls with the simulated
// viewer and, interleaved, sends our own calls and prints their answers.
#pragma once

#include "sim_os.h"
#include "sim_viewer.h"

#include <string>
#include <vector>

namespace vxsim {

struct Script;

struct OutgoingCall {
  std::string label;    // how the answer is reported: "Name" or "SYS TEXT"
  std::string message;  // the encoded EXE or SYS message
};

// Accepts "Name(args)", "Name" (no arguments), "EXE Name(args)" or "SYS TEXT".
bool makeOutgoingCall(const std::string& text, OutgoingCall& out);

struct SessionOptions {
  std::vector<OutgoingCall> calls;
  int intervalMs = 100;
  bool trace = false;
  // Send each call only once the previous one is answered, and end the
  // session when every call has its answer (the connecting peer's style).
  bool waitForAnswers = false;
  // Answer from this script instead of the simulated viewer (sim_script.h).
  const Script* script = nullptr;
};

enum class SessionEnd { PeerClosed, AllAnswered, Stopped, ProtocolError };

SessionEnd runSession(os::Socket sock, ViewerState& viewer, const SessionOptions& options);

}  // namespace vxsim
