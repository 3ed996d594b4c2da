// Memory on POSIX: heap blocks, zero-filled unless the caller fills them.
#include <cstdint>
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

// A page more than asked for, and the address malloc gave kept just below
// the aligned start (as _aligned_malloc does on Windows): posix_memalign
// would hand the bytes before the boundary back to the heap as small free
// chunks, scattered wherever blocks were made.
void* AllocPageAligned(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  void* taken = std::malloc(size_t{size} + kPageSize + sizeof(void*));
  if (taken == nullptr) return nullptr;
  const uintptr_t start =
      (reinterpret_cast<uintptr_t>(taken) + sizeof(void*) + kPageSize - 1) & ~uintptr_t{kPageSize - 1};
  reinterpret_cast<void**>(start)[-1] = taken;
  return reinterpret_cast<void*>(start);
}

void FreePageAligned(void* block) {
  if (block != nullptr) std::free(static_cast<void**>(block)[-1]);
}

}  // namespace vxb::plat
