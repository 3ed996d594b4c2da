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

void FreeBlock(void* block) {
  if (block == nullptr) return;
  HGLOBAL h = GlobalHandle(block);
  GlobalUnlock(h);
  GlobalFree(h);
}

}  // namespace vxb::plat
