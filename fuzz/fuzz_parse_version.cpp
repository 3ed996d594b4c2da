// ParseVersion on any text: true exactly with four dot-separated parts, each
// byte the low 8 bits of atoi's reading of its part; otherwise (and with no
// text at all) the record is left alone.
#include <algorithm>
#include <array>

#include "fuzz_check.h"
#include "install/install_registry.h"

VXB_FUZZ_ENTRY(parse_version) {
  if (size > 4096) return 0;
  const std::string text = vxbfuzz::CText(data, size);
  const std::array<uint8_t, 4> before = {0xA1, 0xB2, 0xC3, 0xD4};
  vxb::InstallRecord record;
  record.version = before;
  record.appName = "Ferro";
  VXB_CHECK(!vxb::ParseVersion(record, nullptr));
  const bool parsed = vxb::ParseVersion(record, text.c_str());
  VXB_CHECK(record.appName == "Ferro" && parsed == (std::count(text.begin(), text.end(), '.') == 3));
  if (!parsed) return VXB_CHECK(record.version == before), 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part, ++i) {
    // atoi modulo 256: white space, an optional sign, digits up to another character.
    while (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')) ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    unsigned value = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) value = (value * 10 + (text[i] - '0')) % 256;
    VXB_CHECK(unsigned{record.version[part]} == (negative ? 256 - value : value) % 256);
    i = std::min(text.find('.', i), text.size());
  }
  return 0;
}
