// Global memory on POSIX: heap blocks, zero-filled unless the caller fills them.
#include <cstdlib>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {

void* AllocBlock(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  // calloc(0) may give null on some libcs; a 1-byte block keeps "null means
  // failure" true for every size.
  return std::calloc(size == 0 ? 1 : size, 1);
}

void* AllocBlockUnfilled(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void FreeBlock(void* block) { std::free(block); }

}  // namespace vxb::plat
