#include "sim_accept.h"

#include <chrono>

namespace vxsim {

os::Socket acceptHost(os::Socket listener, int timeoutMs, std::string& err) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!os::stopRequested()) {
    if (timeoutMs > 0 && std::chrono::steady_clock::now() >= deadline) {
      err = "no host connected within " + durationText(timeoutMs);
      return os::kNoSocket;
    }
    const int ready = os::waitReadable(listener, 100);
    if (ready == 0) continue;
    err = "waiting for a connection failed";
    const os::Socket s = ready > 0 ? os::acceptClient(listener, err) : os::kNoSocket;
    if (s == os::kNoSocket && os::stopRequested()) err.clear();
    return s;
  }
  err.clear();
  return os::kNoSocket;
}

std::string durationText(int ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace vxsim
