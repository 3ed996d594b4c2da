// PetitionBuffer: the latest call of the viewer in server mode, kept as raw
// protocol text for VxReadRawPetition. The block stays the library's own.
#pragma once

#include <cstdint>
#include <string>

#include "vxbridge.h"

namespace vxb {

class PetitionBuffer {
 public:
  // The longest petition VxRecvCmd rebuilds: "EXE " name "(" args ")\n"
  // with name and args cut to a CallRecord's fields ("SYS " args "\n" is
  // shorter).
  static constexpr uint32_t kCapacity =
      4 + sizeof(CallRecord::name) + 1 + sizeof(CallRecord::args) + 2;

  // Takes the one block for good: the host may hold a pointer into it from
  // one petition to the next, so it is overwritten, never moved or freed.
  PetitionBuffer();
  ~PetitionBuffer();
  PetitionBuffer(const PetitionBuffer&) = delete;
  PetitionBuffer& operator=(const PetitionBuffer&) = delete;

  // Replaces the content with n bytes of text followed by a NUL. False (and
  // empty) when n is above kCapacity or the block could not be had.
  bool Store(const void* text, uint32_t n);

  const uint8_t* Data() const { return data_; }
  uint32_t Size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

// The protocol text of a call the viewer made ("EXE name(args)\n", or
// "SYS args\n"), rebuilt from the record handed to the host; empty when
// there is no memory for it.
std::string PetitionText(const CallRecord& record) noexcept;

}  // namespace vxb
