// PetitionBuffer growth: exact, never shrinking.
#include <gtest/gtest.h>

#include <string>

#include "messaging/petition_buffer.h"
#include "platform/platform.h"

namespace {

TEST(PetitionBuffer, GrowsToExactlyWhatIsAskedAndNeverShrinks) {
  vxb::PetitionBuffer b;
  EXPECT_EQ(b.Capacity(), 512u);
  const uint8_t* first = b.Data();
  ASSERT_TRUE(b.Store(std::string(20, 'a').data(), 20));
  EXPECT_EQ(b.Data(), first);  // fits the first block
  EXPECT_EQ(b.Size(), 20u);
  EXPECT_EQ(b.Data()[20], 0);
  ASSERT_TRUE(b.Store(std::string(512, 'b').data(), 512));
  EXPECT_EQ(b.Capacity(), 512u);  // equal to the capacity: a new block all the same
  EXPECT_EQ(b.Data()[511], 'b');
  EXPECT_EQ(b.Data()[512], 0);
  ASSERT_TRUE(b.Store(std::string(600, 'c').data(), 600));
  EXPECT_EQ(b.Capacity(), 600u);
  const uint8_t* grown = b.Data();
  ASSERT_TRUE(b.Store(std::string(100, 'd').data(), 100));
  EXPECT_EQ(b.Capacity(), 600u);
  EXPECT_EQ(b.Data(), grown);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.Data())), std::string(100, 'd'));
}

TEST(PetitionBuffer, NoMemoryLeavesItEmpty) {
  vxb::PetitionBuffer b;
  vxb::plat::SetAllocFailureThreshold(1000);
  EXPECT_FALSE(b.Store(std::string(2000, 'x').data(), 2000));
  vxb::plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.Capacity(), 512u);
}

}  // namespace
