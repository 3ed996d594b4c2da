// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vxtest {

// Polls cond every millisecond until it holds or timeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
// Sets (value non-null) or removes a variable of the process environment,
// where the library and programs started afterwards find it.
void SetEnv(const char* name, const char* value);
// Bytes of a C string literal that may hold NULs.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

}  // namespace vxtest
