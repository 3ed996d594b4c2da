#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <string>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

long OpenHandles() {
  std::error_code ec;
  const std::filesystem::directory_iterator fds("/proc/self/fd", ec);
  // The listing's own descriptor is in every count alike.
  return ec ? -1 : static_cast<long>(std::distance(begin(fds), end(fds)));
}

long ProcessThreads() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    long threads = -1;
    if (key == "Threads:" && status >> threads) return threads;
  }
  return -1;
}

void LimitSendWait(intptr_t socket, int timeoutMs) {
  const timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

}  // namespace vxtest
