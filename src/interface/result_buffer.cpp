#include "result_buffer.h"

#include <cstring>

#include "platform/platform.h"

namespace vxb {

void* AllocResultUnfilled(uint32_t size) { return plat::AllocBlockUnfilled(size); }

void FreeResult(void* block) { plat::FreeBlock(block); }

uint32_t WideLength(const VxWChar* text) {
  constexpr uint32_t kMaximum = 0x7FFF;
  uint32_t n = 0;
  while (n < kMaximum && text[n] != 0) ++n;
  return n;
}

char* NarrowText(const VxWChar* text) {
  if (text == nullptr) return nullptr;
  const uint32_t n = WideLength(text);
  auto* out = static_cast<char*>(AllocResultUnfilled(n + 1));
  if (out == nullptr) return nullptr;
  for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<char>(static_cast<uint16_t>(text[i]) & 0xFF);
  out[n] = 0;
  return out;
}

VxWChar* WidenBytes(const char* bytes, uint32_t length) {
  if (length > (UINT32_MAX - 2) / 2) return nullptr;
  auto* out = static_cast<VxWChar*>(AllocResultUnfilled(2 * length + 2));
  if (out == nullptr) return nullptr;
  for (uint32_t i = 0; i < length; ++i) {
    // Sign extension: hosts that narrow the unit back get the same byte.
    const auto unit = static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(bytes[i])));
    out[i] = static_cast<VxWChar>(unit);
  }
  out[length] = 0;
  return out;
}

VxWChar* WidenText(const char* text) {
  if (text == nullptr) return nullptr;
  return WidenBytes(text, static_cast<uint32_t>(std::strlen(text)));
}

}  // namespace vxb
