// Fault injection shared by both sides of the platform layer: tests make
// allocations fail from a given size on, to reach the library's -11 paths.
#include <atomic>

#include "fault_injection.h"
#include "platform.h"

namespace vxb::plat {
namespace {
std::atomic<uint32_t> g_failFrom{0};
}

void SetAllocFailureThreshold(uint32_t minSize) { g_failFrom.store(minSize); }

bool AllocShouldFail(uint32_t size) {
  const uint32_t failFrom = g_failFrom.load(std::memory_order_relaxed);
  return failFrom != 0 && size >= failFrom;
}

}  // namespace vxb::plat
