// Result buffers and the ANSI/UTF-16 conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "interface/result_buffer.h"
#include "platform/platform.h"

namespace {

using vxb::AllocResult;
using vxb::FreeResult;
using vxb::NarrowText;
using vxb::WidenText;

TEST(ResultBuffer, BlocksAreZeroFilledAndFreeOfNullIsHarmless) {
  auto* block = static_cast<unsigned char*>(AllocResult(4096));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
  FreeResult(block);
  FreeResult(nullptr);
  EXPECT_EQ(VxFreeA(nullptr), 0);
  EXPECT_EQ(VxFreeW(nullptr), 0);
}

TEST(ResultBuffer, AllocationFailureYieldsNull) {
  vxb::plat::SetAllocFailureThreshold(100);
  EXPECT_EQ(AllocResult(100), nullptr);
  const VxWChar text[] = {'a', 0};
  char* small = NarrowText(text);  // 2 bytes: below the threshold
  EXPECT_NE(small, nullptr);
  FreeResult(small);
  vxb::plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(NarrowText(text), nullptr);  // ...now every block fails
  EXPECT_EQ(WidenText("abc"), nullptr);
  vxb::plat::SetAllocFailureThreshold(0);
}

TEST(Narrow, KeepsTheLowByteOfEachUnit) {
  const VxWChar text[] = {0x00E9, 0x20AC, 'A', 0x0100, 0};
  char* n = NarrowText(text);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(std::string(n, 5), std::string("\xE9\xAC" "A\x00\x00", 5));
  FreeResult(n);
}

TEST(Narrow, EmptyAndNull) {
  const VxWChar empty[] = {0};
  char* n = NarrowText(empty);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n[0], 0);
  FreeResult(n);
  EXPECT_EQ(NarrowText(nullptr), nullptr);
}

TEST(Narrow, CutsLongTextAt32767Units) {
  std::vector<VxWChar> text(40000, static_cast<VxWChar>('x'));
  text.push_back(0);
  EXPECT_EQ(vxb::WideLength(text.data()), 32767u);
  char* n = NarrowText(text.data());
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(std::strlen(n), 32767u);
  FreeResult(n);
}

TEST(Widen, SignExtendsEachByte) {
  VxWChar* w = WidenText("a\xE9\x7F\x80\xFF");
  ASSERT_NE(w, nullptr);
  const uint16_t expected[] = {0x0061, 0xFFE9, 0x007F, 0xFF80, 0xFFFF, 0x0000};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(static_cast<uint16_t>(w[i]), expected[i]) << i;
  // Narrowing a widened text gives back the same bytes.
  char* back = NarrowText(w);
  EXPECT_STREQ(back, "a\xE9\x7F\x80\xFF");
  FreeResult(back);
  FreeResult(w);
}

TEST(Widen, EmptyAndNull) {
  VxWChar* w = WidenText("");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w[0], 0);
  FreeResult(w);
  EXPECT_EQ(WidenText(nullptr), nullptr);
}

TEST(Widen, BytesWithNulsAreCountedByLength) {
  VxWChar* w = vxb::WidenBytes("a\0\xE9", 3);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(static_cast<uint16_t>(w[0]), 0x61);
  EXPECT_EQ(static_cast<uint16_t>(w[1]), 0x00);
  EXPECT_EQ(static_cast<uint16_t>(w[2]), 0xFFE9);
  EXPECT_EQ(static_cast<uint16_t>(w[3]), 0x00);
  FreeResult(w);
}

}  // namespace
