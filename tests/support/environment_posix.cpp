#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

void LimitSendWait(intptr_t socket, int timeoutMs) {
  const timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

}  // namespace vxtest
