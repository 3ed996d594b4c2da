// Global memory on POSIX: zero-filled heap blocks.
#include <atomic>
#include <cstdlib>

#include "../platform.h"

namespace vxb::plat {
namespace {
std::atomic<uint32_t> g_failFrom{0};
}

void* AllocBlock(uint32_t size) {
  const uint32_t failFrom = g_failFrom.load(std::memory_order_relaxed);
  if (failFrom != 0 && size >= failFrom) return nullptr;
  // calloc(0) may give null on some libcs; a 1-byte block keeps "null means
  // failure" true for every size.
  return std::calloc(size == 0 ? 1 : size, 1);
}

void FreeBlock(void* block) { std::free(block); }

void SetAllocFailureThreshold(uint32_t minSize) { g_failFrom.store(minSize); }

}  // namespace vxb::plat
