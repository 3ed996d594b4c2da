// `vxsim proxy`: sits between a host and the viewer, passes every byte
// through unchanged in both directions and records the frames it sees.
#pragma once

#include "sim_os.h"
#include "sim_recording.h"

#include <cstdint>
#include <string>

namespace vxsim {

struct ProxyOptions {
  std::string viewerHost = "127.0.0.1";
  std::uint16_t viewerPort = 0;
  bool keep = false;   // serve one host after another
  bool trace = false;  // every frame to stderr, as the viewer sees it
};

// Relays one session between a connected host and viewer until both have
// closed their side (or a stop is requested), recording into `recording`
// when there is one. Returns who closed first: "host", "viewer" or "proxy".
std::string relay(os::Socket host, os::Socket viewer, RecordingWriter* recording, bool trace);

// Serves hosts on `listener`, each relayed to a new connection to the
// viewer. Returns the exit status: 0, or 1 when the viewer could not be
// reached or listening failed.
int runProxy(os::Socket listener, const ProxyOptions& options, RecordingWriter* recording);

}  // namespace vxsim
