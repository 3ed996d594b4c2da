#include "ctl_text.h"

#include <gtest/gtest.h>

namespace vxctl {
namespace {

TEST(CtlText, Cp1252BecomesUtf8) {
  EXPECT_EQ(cp1252ToUtf8("abc"), "abc");
  EXPECT_EQ(cp1252ToUtf8("est\xE0 instal\xB7lat"), "est\xC3\xA0 instal\xC2\xB7lat");
  EXPECT_EQ(cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(cp1252ToUtf8("\x81"), "\xEF\xBF\xBD");  // undefined in the code page
  EXPECT_EQ(cp1252ToUtf8("\xFF"), "\xC3\xBF");
}

TEST(CtlText, Utf8BecomesCp1252) {
  EXPECT_EQ(utf8ToCp1252("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(utf8ToCp1252("\xE2\x82\xAC" "5"), "\x80" "5");
  EXPECT_EQ(utf8ToCp1252("\xE2\x88\x9E"), "?");             // infinity: not in the code page
  EXPECT_EQ(utf8ToCp1252("\xF0\x9F\x98\x80"), "?");         // outside the BMP
  EXPECT_EQ(utf8ToCp1252("a\xE9z"), "a\xE9z");              // not UTF-8: kept
  EXPECT_EQ(utf8ToCp1252("\xC3"), "\xC3");                  // cut short: kept
  for (int c = 0xA0; c <= 0xFF; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(one)), one) << c;
  }
}

TEST(CtlText, EscapeShowsControlBytes) {
  EXPECT_EQ(escapeBytes(std::string("EXE A(1)\n", 9)), "EXE A(1)\\n");
  EXPECT_EQ(escapeBytes(std::string("\x00\x7F\\\t\r", 5)), "\\x00\\x7F\\\\\\t\\r");
}

TEST(CtlText, FieldTextStopsAtNulOrFieldEnd) {
  const char padded[8] = {'n', 'a', 'm', 'e', ' ', ' ', ' ', ' '};
  EXPECT_EQ(fieldText(padded, sizeof padded, true), "name");
  EXPECT_EQ(fieldText(padded, sizeof padded, false), "name    ");
  const char terminated[8] = {'a', 'b', 0, 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(fieldText(terminated, sizeof terminated, true), "ab");
}

TEST(CtlText, ParseIntegerIsStrict) {
  long long v = 0;
  EXPECT_TRUE(parseInteger("27800", 1, 65535, v));
  EXPECT_EQ(v, 27800);
  EXPECT_TRUE(parseInteger("-20", -20, 0, v));
  EXPECT_EQ(v, -20);
  EXPECT_FALSE(parseInteger("65536", 1, 65535, v));
  EXPECT_FALSE(parseInteger("", 0, 9, v));
  EXPECT_FALSE(parseInteger("-", -9, 9, v));
  EXPECT_FALSE(parseInteger("1 ", 0, 9, v));
  EXPECT_FALSE(parseInteger("+1", 0, 9, v));
  EXPECT_FALSE(parseInteger("9999999999999999999", 0, 9, v));
}

}  // namespace
}  // namespace vxctl
