// Result buffers and the ANSI/UTF-16 conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "interface/result_buffer.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace {

using vxb::FreeResult;
using vxb::NarrowText;
using vxb::WidenText;

// The first n units of a wide result, which is freed.
std::vector<uint16_t> Units(VxWChar* w, size_t n) {
  std::vector<uint16_t> units(w, w + n);
  FreeResult(w);
  return units;
}

// Blocks come zero-filled, a failed allocation gives null, and null is
// harmless wherever it is handed back.
TEST(ResultBuffer, BlocksAreZeroFilledAndNullIsHarmless) {
  auto* block = static_cast<unsigned char*>(vxb::plat::AllocBlock(4096));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
  vxb::plat::FreeBlock(block);
  FreeResult(nullptr);
  EXPECT_EQ(VxFreeA(nullptr), 0);
  EXPECT_EQ(VxFreeW(nullptr), 0);
  EXPECT_EQ(NarrowText(nullptr), nullptr);
  EXPECT_EQ(WidenText(nullptr), nullptr);
  vxb::plat::SetAllocFailureThreshold(100);
  EXPECT_EQ(vxb::AllocResultUnfilled(100), nullptr);
  const VxWChar text[] = {'a', 0};
  char* small = NarrowText(text);  // 2 bytes: below the threshold
  EXPECT_NE(small, nullptr);
  FreeResult(small);
  vxb::plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(NarrowText(text), nullptr);
  EXPECT_EQ(WidenText("abc"), nullptr);
  vxb::plat::SetAllocFailureThreshold(0);
}

// Narrowing keeps the low byte of each unit, up to 32767 units; widening
// sign-extends each byte.
TEST(NarrowAndWiden, LowBytesOneWaySignExtensionTheOther) {
  const VxWChar text[] = {0x00E9, 0x20AC, 'A', 0x0100, 0};
  char* n = NarrowText(text);
  EXPECT_EQ(std::string(n, 5), std::string("\xE9\xAC" "A\x00\x00", 5));
  FreeResult(n);
  std::vector<VxWChar> longText(40000, static_cast<VxWChar>('x'));
  longText.push_back(0);
  EXPECT_EQ(vxb::WideLength(longText.data()), 32767u);
  n = NarrowText(longText.data());
  EXPECT_EQ(std::strlen(n), 32767u);
  FreeResult(n);
  VxWChar* w = WidenText("a\xE9\x7F\x80\xFF");
  char* back = NarrowText(w);  // gives back the same bytes
  EXPECT_STREQ(back, "a\xE9\x7F\x80\xFF");
  FreeResult(back);
  EXPECT_EQ(Units(w, 6), (std::vector<uint16_t>{0x0061, 0xFFE9, 0x007F, 0xFF80, 0xFFFF, 0}));
  EXPECT_EQ(Units(WidenText(""), 1), std::vector<uint16_t>{0});
  EXPECT_EQ(Units(vxb::WidenBytes("a\0\xE9", 3), 4), (std::vector<uint16_t>{0x61, 0, 0xFFE9, 0}));
}

}  // namespace
