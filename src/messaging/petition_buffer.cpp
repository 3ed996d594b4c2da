#include "petition_buffer.h"

#include <cstring>

#include "platform/platform.h"
#include "transport/wire_format.h"

namespace vxb {

namespace {

// A CallRecord field read as a string: up to its NUL, never past the field.
std::string FieldText(const char* field, size_t capacity) {
  return std::string(field, strnlen(field, capacity));
}

}  // namespace

// The block is of the kind the result buffers are: the host reads from it.
PetitionBuffer::PetitionBuffer() : data_(static_cast<uint8_t*>(plat::AllocBlock(kCapacity + 1))) {}

PetitionBuffer::~PetitionBuffer() { plat::FreeBlock(data_); }

bool PetitionBuffer::Store(const void* text, uint32_t n) {
  size_ = 0;
  // Only a block that was never handed out may still be taken here.
  if (data_ == nullptr) data_ = static_cast<uint8_t*>(plat::AllocBlock(kCapacity + 1));
  if (data_ == nullptr || n > kCapacity) {
    if (data_ != nullptr) data_[0] = 0;
    return false;
  }
  if (n > 0) std::memcpy(data_, text, n);
  data_[n] = 0;
  size_ = n;
  return true;
}

std::string PetitionText(const CallRecord& record) noexcept {
  try {
    const std::string name = FieldText(record.name, sizeof record.name);
    const std::string args = FieldText(record.args, sizeof record.args);
    return name == "SYS" ? FormatSystemCall(args.c_str()) : FormatCall(name.c_str(), args.c_str());
  } catch (...) {
    // No memory for the text: the petition reads back empty, as when the
    // petition block could not be had.
    return std::string();
  }
}

}  // namespace vxb
