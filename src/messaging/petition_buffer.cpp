#include "petition_buffer.h"

#include <cstring>

#include "../interface/result_buffer.h"

namespace vxb {

PetitionBuffer::PetitionBuffer() : data_(static_cast<uint8_t*>(AllocResult(kCapacity + 1))) {}

PetitionBuffer::~PetitionBuffer() { FreeResult(data_); }

bool PetitionBuffer::Store(const void* text, uint32_t n) {
  size_ = 0;
  // Only a block that was never handed out may still be taken here.
  if (data_ == nullptr) data_ = static_cast<uint8_t*>(AllocResult(kCapacity + 1));
  if (data_ == nullptr || n > kCapacity) {
    if (data_ != nullptr) data_[0] = 0;
    return false;
  }
  if (n > 0) std::memcpy(data_, text, n);
  data_[n] = 0;
  size_ = n;
  return true;
}

}  // namespace vxb
