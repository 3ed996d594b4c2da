#include "petition_buffer.h"

#include <cstring>

#include "../interface/result_buffer.h"

namespace vxb {

PetitionBuffer::PetitionBuffer() { Reserve(512); }

PetitionBuffer::~PetitionBuffer() { FreeResult(data_); }

bool PetitionBuffer::Reserve(uint32_t n) {
  size_ = 0;
  if (n < capacity_ && data_ != nullptr) return true;
  // The block is 4 bytes larger than the capacity recorded, which leaves
  // room for the terminator.
  if (n > UINT32_MAX - 4) return false;
  auto* block = static_cast<uint8_t*>(AllocResult(n + 4));
  if (block == nullptr) return false;
  FreeResult(data_);
  data_ = block;
  capacity_ = n;
  return true;
}

bool PetitionBuffer::Store(const void* text, uint32_t n) {
  if (!Reserve(n)) return false;
  if (n > 0) std::memcpy(data_, text, n);
  data_[n] = 0;
  size_ = n;
  return true;
}

}  // namespace vxb
