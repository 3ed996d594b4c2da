#include "test_support.h"

#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vxtest {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  // Both the C runtime's copy (std::getenv here) and the process block
  // (what the library and a started program read).
  _putenv_s(name, value != nullptr ? value : "");
  SetEnvironmentVariableA(name, value);
#else
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

}  // namespace vxtest
