// Global memory on Windows: locked GMEM_MOVEABLE | GMEM_ZEROINIT blocks, the
// kind of block hosts written against the DLL hand back to VxFreeA/W.
#include <windows.h>

#include <atomic>

#include "../platform.h"

namespace vxb::plat {
namespace {
std::atomic<uint32_t> g_failFrom{0};
}

void* AllocBlock(uint32_t size) {
  const uint32_t failFrom = g_failFrom.load(std::memory_order_relaxed);
  if (failFrom != 0 && size >= failFrom) return nullptr;
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

void SetAllocFailureThreshold(uint32_t minSize) { g_failFrom.store(minSize); }

}  // namespace vxb::plat
