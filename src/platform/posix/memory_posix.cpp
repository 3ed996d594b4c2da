// Global memory on POSIX: zero-filled heap blocks.
#include <cstdlib>

#include "../fault_injection.h"
#include "../platform.h"

namespace vxb::plat {

void* AllocBlock(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  // calloc(0) may give null on some libcs; a 1-byte block keeps "null means
  // failure" true for every size.
  return std::calloc(size == 0 ? 1 : size, 1);
}

void FreeBlock(void* block) { std::free(block); }

}  // namespace vxb::plat
