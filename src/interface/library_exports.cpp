// Small utility exports and the release of result buffers.
#include "vxbridge.h"
#include "result_buffer.h"

extern "C" {

VxResult VXAPI VxGetLibVersion(uint32_t* version) {
  if (version != nullptr) *version = VX_LIB_VERSION;
  return VX_OK;
}

int32_t VXAPI VxGetPtr(int32_t value) { return value; }

void* VXAPI VxGetIUnknown(void* object) {
  if (object == nullptr) return nullptr;
  // A COM object starts with a pointer to its function table, whose entry 1
  // is AddRef, called with the object as its only argument.
  using AddRefFn = unsigned long(VXAPI*)(void*);
  AddRefFn* table = *static_cast<AddRefFn**>(object);
  table[1](object);
  return object;
}

VxResult VXAPI VxFreeA(void* block) {
  vxb::FreeResult(block);
  return VX_OK;
}

VxResult VXAPI VxFreeW(void* block) {
  vxb::FreeResult(block);
  return VX_OK;
}

}  // extern "C"
