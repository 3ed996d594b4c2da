// PetitionBuffer: the latest call of the viewer in server mode, kept as raw
// protocol text for VxReadRawPetition. The block stays the library's own.
#pragma once

#include <cstdint>

namespace vxb {

class PetitionBuffer {
 public:
  PetitionBuffer();
  ~PetitionBuffer();
  PetitionBuffer(const PetitionBuffer&) = delete;
  PetitionBuffer& operator=(const PetitionBuffer&) = delete;

  // Empties the buffer and makes room for n bytes (plus a NUL). Grows to
  // exactly n when n is not below the capacity; never shrinks.
  bool Reserve(uint32_t n);
  // Replaces the content with n bytes of text followed by a NUL.
  bool Store(const void* text, uint32_t n);

  const uint8_t* Data() const { return data_; }
  uint32_t Size() const { return size_; }
  uint32_t Capacity() const { return capacity_; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t size_ = 0;
};

}  // namespace vxb
