#include "recv_buffer.h"

#include "vxbridge.h"
#include "platform/platform.h"

namespace vxb {

int EnsureCapacity(RecvBuffer& b, uint32_t capacity) {
  if (capacity <= b.capacity) return VX_OK;
  if (capacity < RecvBuffer::kInitialCapacity) return VX_E_BUFFER_TOO_SMALL;
  if (capacity > RecvBuffer::kMaximumCapacity) return VX_E_BUFFER_TOO_BIG;
  auto* block = static_cast<uint8_t*>(plat::AllocPageAligned(RecvBuffer::kBodyOffset + capacity));
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  FreeBuffer(b);
  b.data = block + RecvBuffer::kBodyOffset;
  b.data[0] = 0;
  b.capacity = capacity;
  return VX_OK;
}

void FreeBuffer(RecvBuffer& b) {
  if (b.data != nullptr) plat::FreePageAligned(b.data - RecvBuffer::kBodyOffset);
  b = RecvBuffer();
}

}  // namespace vxb
