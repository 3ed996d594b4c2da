// Fault injection shared by both sides of the platform layer: tests make
// allocations, socket calls, host lookups and module lists fail, to reach
// the library's failure paths.
#include "fault_injection.h"

#include <atomic>

namespace vxb::plat {
namespace {
std::atomic<uint32_t> g_failFrom{0};
// One injected socket error at a time, published in one word: the error in
// the high half, the socket in the low one (socket numbers and Windows
// handles fit in 32 bits). 0: none.
std::atomic<uint64_t> g_injected{0};
std::atomic<bool> g_lookupsFail{false};
std::atomic<bool> g_moduleListsFail{false};
// Thread starts to go before the one that fails (0: none fails).
std::atomic<uint32_t> g_threadStartsLeft{0};
}  // namespace

void SetAllocFailureThreshold(uint32_t minSize) { g_failFrom.store(minSize); }

bool AllocShouldFail(uint32_t size) {
  const uint32_t failFrom = g_failFrom.load(std::memory_order_relaxed);
  return failFrom != 0 && size >= failFrom;
}

void InjectSocketError(Socket s, int winsockError) {
  const bool none = s == kInvalidSocket || winsockError == 0;
  g_injected.store(none ? 0
                        : static_cast<uint64_t>(static_cast<uint32_t>(winsockError)) << 32 |
                              static_cast<uint32_t>(s));
}

int TakeInjectedSocketError(Socket s) {
  uint64_t pending = g_injected.load(std::memory_order_relaxed);
  if (pending == 0 || static_cast<uint32_t>(pending) != static_cast<uint32_t>(s)) return 0;
  // Of two calls on s at once, only the one whose exchange succeeds fails.
  if (!g_injected.compare_exchange_strong(pending, 0)) return 0;
  return static_cast<int>(pending >> 32);
}

void SetHostLookupFailure(bool fail) { g_lookupsFail.store(fail); }
bool HostLookupShouldFail() { return g_lookupsFail.load(); }

void SetModuleListFailure(bool fail) { g_moduleListsFail.store(fail); }
bool ModuleListShouldFail() { return g_moduleListsFail.load(); }

void SetThreadStartFailure(uint32_t n) { g_threadStartsLeft.store(n); }

bool ThreadStartShouldFail() {
  uint32_t left = g_threadStartsLeft.load(std::memory_order_relaxed);
  while (left != 0) {
    if (g_threadStartsLeft.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

}  // namespace vxb::plat
