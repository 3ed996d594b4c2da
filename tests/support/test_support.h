// Small helpers shared by the tests, and readers of the exported API.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "vxbridge.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vxtest {

// Bytes in use in the C heap's main arena (glibc; elsewhere 0, so that
// a balance check holds trivially).
inline size_t HeapInUse() {
#if defined(__GLIBC__)
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#else
  return 0;
#endif
}

// Polls cond every millisecond until it holds or timeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
// Open descriptors (Windows: handles) and threads of this process now (-1
// when unknown).
long OpenHandles();
long ProcessThreads();
// Threads the system may add to the process at any moment on its own, each
// with a handle: the Windows thread pool starts (and keeps) workers lazily;
// none on POSIX.
#if defined(_WIN32)
constexpr long kSystemThreads = 4;
#else
constexpr long kSystemThreads = 0;
#endif
// The library's threads end on their own shortly after their connection:
// waits (up to timeoutMs) until the process has no more threads than
// before (and the system's own), true when it got there.
inline bool ThreadsBackTo(long before, int timeoutMs = 5000) {
  return WaitUntil([before] { return ProcessThreads() <= before + kSystemThreads; }, timeoutMs);
}
// The same for a fixture that only wants the threads of earlier connections
// gone before it starts afresh: it also stops waiting once the count has
// not changed for a while (the system may keep threads of its own, as
// Windows' thread pool does).
inline void SettleThreads(long before) {
  long last = ProcessThreads();
  auto changed = std::chrono::steady_clock::now();
  WaitUntil([&] {
    const long now = ProcessThreads();
    if (now != last) {
      last = now;
      changed = std::chrono::steady_clock::now();
    }
    return now <= before || std::chrono::steady_clock::now() - changed > std::chrono::milliseconds(300);
  });
}
// Sets (value non-null) or removes a variable of the process environment,
// where the library and programs started afterwards find it.
void SetEnv(const char* name, const char* value);
// A send on the socket that makes no progress for timeoutMs fails instead of
// waiting on (SO_SNDTIMEO): under Wine a send blocked when its peer closes
// gracefully may never return.
void LimitSendWait(intptr_t socket, int timeoutMs);
// Bytes of a C string literal that may hold NULs.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// The latest response as bytes, through VxGetLastResponseA; "<failed>" when
// the call fails (which no expected text equals).
inline std::string LastResponseText() {
  uint32_t length = 0;
  char* text = nullptr;
  if (VxGetLastResponseA(&length, &text) != 0) return "<failed>";
  std::string s = text == nullptr ? std::string() : std::string(text, length);
  VxFreeA(text);
  return s;
}

// The waiting raw petition of server mode ("<none>" when there is none).
inline std::string Petition() {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (VxReadRawPetition(&data, &size) != 0) return "<none>";
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace vxtest
