#include "ctl_text.h"

#include <gtest/gtest.h>

#include <utility>

namespace vxctl {
namespace {

using Pair = std::pair<std::string, std::string>;

TEST(CtlText, Cp1252AndUtf8Convert) {
  for (const auto& [cp, utf8] : {Pair{"abc", "abc"}, {"est\xE0 instal\xB7lat", "est\xC3\xA0 instal\xC2\xB7lat"},
                                 {"\x80", "\xE2\x82\xAC"}, {"\xFF", "\xC3\xBF"}, {"\x81", "\xEF\xBF\xBD"}})
    EXPECT_EQ(cp1252ToUtf8(cp), utf8) << cp;
  // Not in the code page (infinity, outside the BMP) becomes "?"; what is not UTF-8 is kept.
  for (const auto& [utf8, cp] : {Pair{"caf\xC3\xA9", "caf\xE9"}, {"\xE2\x82\xAC" "5", "\x80" "5"},
                                 {"\xE2\x88\x9E", "?"}, {"\xF0\x9F\x98\x80", "?"}, {"a\xE9z", "a\xE9z"}, {"\xC3", "\xC3"}})
    EXPECT_EQ(utf8ToCp1252(utf8), cp) << utf8;
  for (int c = 0xA0; c <= 0xFF; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(one)), one) << c;
  }
}

TEST(CtlText, EscapeShowsControlBytesAndFieldTextStopsAtNulOrFieldEnd) {
  EXPECT_EQ(escapeBytes("EXE A(1)\n"), "EXE A(1)\\n");
  EXPECT_EQ(escapeBytes(std::string("\x00\x7F\\\t\r", 5)), "\\x00\\x7F\\\\\\t\\r");
  const char padded[8] = {'n', 'a', 'm', 'e', ' ', ' ', ' ', ' '};  // no NUL
  EXPECT_EQ(fieldText(padded, sizeof padded, true), "name");
  EXPECT_EQ(fieldText(padded, sizeof padded, false), "name    ");
  EXPECT_EQ(fieldText("ab\0xxxxx", 8, true), "ab");
}

TEST(CtlText, ParseIntegerIsStrict) {
  long long v = 0;
  EXPECT_TRUE(parseInteger("27800", 1, 65535, v) && v == 27800);
  EXPECT_TRUE(parseInteger("-20", -20, 0, v) && v == -20);
  for (const char* bad : {"65536", "", "-", "1 ", "+1", "9999999999999999999"})
    EXPECT_FALSE(parseInteger(bad, -9, 65535, v)) << bad;
}

}  // namespace
}  // namespace vxctl
