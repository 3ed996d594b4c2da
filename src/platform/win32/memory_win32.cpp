// Memory on Windows: for hosts, locked GMEM_MOVEABLE | GMEM_ZEROINIT
// blocks, the kind of block hosts written against the DLL hand back to
// VxFreeA/W; for the library's own receive blocks, the C runtime's heap.
#include <malloc.h>
#include <windows.h>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {

void* AllocBlock(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (h == nullptr) return nullptr;
  return GlobalLock(h);
}

// The flags stay: hosts may count on them, and the fill costs nothing that
// matters (timed under wine64, a 2,000,000-byte block written whole takes
// the same with and without GMEM_ZEROINIT, as it comes fresh and zeroed
// from the system; a 4,048-byte one 0.03 us more; see bench/README.md).
void* AllocBlockUnfilled(uint32_t size) { return AllocBlock(size); }

void FreeBlock(void* block) {
  if (block == nullptr) return;
  HGLOBAL h = GlobalHandle(block);
  GlobalUnlock(h);
  GlobalFree(h);
}

// No host frees these, so they need neither the moveable handle nor the
// zero fill (a receive block of 2,000,000 bytes would be filled for nothing
// each time one is made).
void* AllocPageAligned(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  return _aligned_malloc(size == 0 ? 1 : size, kPageSize);
}

void FreePageAligned(void* block) { _aligned_free(block); }

}  // namespace vxb::plat
