// SocketLink::IsDottedAddress on any text: it writes the four address bytes
// and nothing around them, and accepts exactly what the reference below does.
#include <algorithm>

#include "fuzz_check.h"
#include "transport/socket_link.h"

namespace {

// At most 15 characters; groups of decimal digits worth at most 255; an
// empty group only first or last; accepted as soon as a fourth dot is
// reached. The bytes of the groups read so far hold their values.
bool Reference(const std::string& text, uint8_t address[4]) {
  if (text.size() > 15) return false;
  size_t position = 0;
  for (int group = 0; group < 4; ++group) {
    const size_t dot = std::min(text.find('.', position), text.size());
    unsigned value = 0;
    for (size_t i = position; i < dot; ++i) {
      if (text[i] < '0' || text[i] > '9' || (value = value * 10 + (text[i] - '0')) > 255) return false;
    }
    if (dot > position) address[group] = static_cast<uint8_t>(value);
    if (dot == text.size()) return true;
    if (group > 0 && dot == position) return false;  // two dots in a row
    position = dot + 1;
  }
  return true;
}

}  // namespace

VXB_FUZZ_ENTRY(dotted_address) {
  if (size > 4096) return 0;
  const std::string text = vxbfuzz::CText(data, size);
  // The four address bytes between guard bytes: nothing around them is written.
  uint8_t got[12] = {0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5}, want[12];
  std::memcpy(want, got, sizeof got);
  const bool accepted = vxb::SocketLink::IsDottedAddress(text.c_str(), got + 4);
  VXB_CHECK(accepted == Reference(text, want + 4));
  // Refused, the address bytes may hold anything.
  VXB_CHECK(std::memcmp(got, want, accepted ? 12 : 4) == 0 && std::memcmp(got + 8, want + 8, 4) == 0);
  return 0;
}
