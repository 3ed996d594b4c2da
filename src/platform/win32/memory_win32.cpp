// Global memory on Windows: locked GMEM_MOVEABLE | GMEM_ZEROINIT blocks, the
// kind of block hosts written against the DLL hand back to VxFreeA/W.
#include <windows.h>

#include "../fault_injection.h"
#include "../platform.h"

namespace vxb::plat {

void* AllocBlock(uint32_t size) {
  if (AllocShouldFail(size)) return nullptr;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (h == nullptr) return nullptr;
  return GlobalLock(h);
}

// GMEM_ZEROINIT stays: a host may count on every block being filled, and
// it costs nothing measurable here (fresh large blocks come zeroed from the
// system; see bench/README.md).
void* AllocBlockUnfilled(uint32_t size) { return AllocBlock(size); }

void FreeBlock(void* block) {
  if (block == nullptr) return;
  HGLOBAL h = GlobalHandle(block);
  GlobalUnlock(h);
  GlobalFree(h);
}

}  // namespace vxb::plat
