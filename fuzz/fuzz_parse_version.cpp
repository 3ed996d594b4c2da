// ParseVersion on any version text: true with exactly four dotted parts,
// each read as atoi reads it with its low 8 bits kept; the version is left
// alone otherwise.
#include <array>
#include <string>

#include "fuzz_check.h"
#include "install/install_registry.h"

namespace {

constexpr size_t kMaxInput = 4096;

// atoi's reading of a part, modulo 256: white space, an optional sign, then
// digits up to the first other character.
uint8_t LowByte(const std::string& part) {
  size_t i = 0;
  while (i < part.size() && (part[i] == ' ' || (part[i] >= '\t' && part[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
  unsigned value = 0;
  for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i) {
    value = (value * 10 + static_cast<unsigned>(part[i] - '0')) % 256;
  }
  if (negative) value = (256 - value) % 256;
  return static_cast<uint8_t>(value);
}

}  // namespace

VXB_FUZZ_ENTRY(parse_version) {
  if (size > kMaxInput) return 0;
  const std::string text = vxbfuzz::CText(data, size);

  vxb::InstallRecord record;
  record.version = {0xA1, 0xB2, 0xC3, 0xD4};
  record.appName = "Ferro";
  const bool parsed = vxb::ParseVersion(record, text.c_str());

  size_t dots = 0;
  for (const char c : text) dots += c == '.' ? 1 : 0;
  VXB_CHECK(parsed == (dots == 3));
  VXB_CHECK(record.appName == "Ferro");
  if (!parsed) {
    VXB_CHECK((record.version == std::array<uint8_t, 4>{0xA1, 0xB2, 0xC3, 0xD4}));
    return 0;
  }
  size_t position = 0;
  for (size_t i = 0; i < 4; ++i) {
    const size_t dot = text.find('.', position);
    const std::string part =
        text.substr(position, dot == std::string::npos ? std::string::npos : dot - position);
    VXB_CHECK(record.version[i] == LowByte(part));
    position = dot + 1;
  }

  // No text at all reads as no version.
  vxb::InstallRecord none;
  VXB_CHECK(!vxb::ParseVersion(none, nullptr));
  return 0;
}
