// VXBRIDGE_KEEPALIVE_MS: what is taken, what is refused, and that each new
// data socket, connected or accepted, carries the times asked for then.
#include <gtest/gtest.h>

#include "linked_pair.h"
#include "test_support.h"
#include "transport/keepalive_setting.h"

namespace {

namespace plat = vxb::plat;

TEST(KeepAliveSetting, TakesThreeNumbersWithinTheirLimits) {
  const struct {
    const char* text;
    bool taken;
    plat::KeepAlive k;
  } cases[] = {
      {"1000,500,3", true, {1000, 500, 3}},
      {"1000,100,1", true, {1000, 100, 1}},  // every least value
      {"32767000,32767000,127", true, {32767000, 32767000, 127}},  // every largest
      {"0030000,05000,005", true, {30000, 5000, 5}},
      {"999,500,3", false, {}},
      {"1000,99,3", false, {}},
      {"1000,500,0", false, {}},
      {"32767001,500,3", false, {}},
      {"1000,32767001,3", false, {}},
      {"1000,500,128", false, {}},
      {"99999999999999999999,500,3", false, {}},  // would wrap a 64-bit sum
      {"1000,500", false, {}},
      {"1000,500,3,", false, {}},
      {"1000,500,3,4", false, {}},
      {"1000,,3", false, {}},
      {",1000,500,3", false, {}},
      {" 1000,500,3", false, {}},
      {"1000, 500,3", false, {}},
      {"1000,500,3 ", false, {}},
      {"1000;500;3", false, {}},
      {"-1000,500,3", false, {}},
      {"+1000,500,3", false, {}},
      {"1e3,500,3", false, {}},
      {"", false, {}},
      {nullptr, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "null" : c.text);
    plat::KeepAlive k{7, 8, 9};
    ASSERT_EQ(vxb::ParseKeepAlive(c.text, &k), c.taken);
    const plat::KeepAlive expected = c.taken ? c.k : plat::KeepAlive{7, 8, 9};
    EXPECT_EQ(k.idleMs, expected.idleMs);
    EXPECT_EQ(k.intervalMs, expected.intervalMs);
    EXPECT_EQ(k.probes, expected.probes);
  }
}

// Linux counts the times in whole seconds (rounded up); Windows tells only
// that keep-alive is on, not the times it was given.
TEST(KeepAliveSetting, EveryNewDataSocketCarriesTheTimesOfItsMoment) {
  const struct {
    const char* value;
    plat::KeepAlive k;
  } cases[] = {{nullptr, {30000, 5000, 5}},
               {"2000,1500,4", {2000, 2000, 4}},
               {"2000,1500,0", {30000, 5000, 5}},
               {"2000,1500,4,", {30000, 5000, 5}}};
  for (const auto& c : cases) {
    for (bool serverMode : {false, true}) {
      SCOPED_TRACE(std::string(c.value == nullptr ? "unset" : c.value) + (serverMode ? " accepted" : " connected"));
      vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", c.value);
      vxtest::LinkedPair p(serverMode);
      vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
      plat::KeepAlive k;
      ASSERT_TRUE(plat::GetKeepAlive(p.link.DataSocket(), &k));
      if (k.idleMs != 0) {
        EXPECT_EQ(k.idleMs, c.k.idleMs);
        EXPECT_EQ(k.intervalMs, c.k.intervalMs);
        EXPECT_EQ(k.probes, c.k.probes);
      }
    }
  }
}

}  // namespace
