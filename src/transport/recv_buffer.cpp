#include "recv_buffer.h"

#include "vxbridge.h"
#include "platform/platform.h"

namespace vxb {

int EnsureCapacity(RecvBuffer& b, uint32_t capacity) {
  if (capacity <= b.capacity) return VX_OK;
  if (capacity < RecvBuffer::kInitialCapacity) return VX_E_BUFFER_TOO_SMALL;
  if (capacity > RecvBuffer::kMaximumCapacity) return VX_E_BUFFER_TOO_BIG;
  const uint32_t size = RecvBuffer::kBodyOffset + capacity;
  auto* block = static_cast<uint8_t*>(plat::AllocPageAligned(size));
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  // One byte of each page written now, so that the kernel's copy into a new
  // block takes no page faults. Measured on Linux: a connection whose first
  // large answers were slowed by them keeps a receive window below their
  // size for good, and each later 2 MB answer then takes twice as long.
  // Nothing is filled.
  volatile uint8_t* const page = block;
  for (uint32_t at = 0; at < size; at += plat::kPageSize) page[at] = 0;
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
