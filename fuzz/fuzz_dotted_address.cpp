// SocketLink::IsDottedAddress on any host text: it writes the four address
// bytes and nothing around them, and accepts exactly the dotted texts.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "transport/socket_link.h"

namespace {

constexpr size_t kMaxInput = 4096;
constexpr uint8_t kGuard = 0xA5;

struct Guarded {
  uint8_t before[16];
  uint8_t address[4];
  uint8_t after[16];
};

bool AllGuard(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != kGuard) return false;
  }
  return true;
}

// The expected answer, worked out on the dot-separated groups: at most 15
// characters; groups of decimal digits worth at most 255; an empty group
// only first or last; the text is accepted as soon as a fourth dot is
// reached, whatever follows. The address bytes of the groups read so far
// hold their values, the others stay as they were.
bool Reference(const std::string& text, uint8_t address[4]) {
  if (text.size() > 15) return false;
  size_t position = 0;
  for (int group = 0; group < 4; ++group) {
    const size_t dot = text.find('.', position);
    const std::string digits = text.substr(position, dot == std::string::npos ? std::string::npos
                                                                              : dot - position);
    unsigned value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 255) return false;
    }
    if (!digits.empty()) address[group] = static_cast<uint8_t>(value);
    if (dot == std::string::npos) return true;
    if (group > 0 && digits.empty()) return false;  // two dots in a row
    position = dot + 1;
  }
  return true;  // the fourth dot: the rest is not looked at
}

}  // namespace

VXB_FUZZ_ENTRY(dotted_address) {
  if (size > kMaxInput) return 0;
  const std::string text = vxbfuzz::CText(data, size);

  // A block of exactly four bytes: AddressSanitizer sees any write past it.
  std::vector<uint8_t> exact(4, 0);
  const bool accepted = vxb::SocketLink::IsDottedAddress(text.c_str(), exact.data());

  // The same between guard bytes, for builds without the sanitizer.
  Guarded g;
  std::memset(&g, kGuard, sizeof g);
  std::memset(g.address, 0, sizeof g.address);
  VXB_CHECK(vxb::SocketLink::IsDottedAddress(text.c_str(), g.address) == accepted);
  VXB_CHECK(AllGuard(g.before, sizeof g.before) && AllGuard(g.after, sizeof g.after));
  VXB_CHECK(std::memcmp(g.address, exact.data(), 4) == 0);

  uint8_t expected[4] = {0, 0, 0, 0};
  VXB_CHECK(accepted == Reference(text, expected));
  if (accepted) {
    VXB_CHECK(text.size() <= 15);
    VXB_CHECK(std::memcmp(exact.data(), expected, 4) == 0);
  }
  return 0;
}
