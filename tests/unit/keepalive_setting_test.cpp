// VXBRIDGE_KEEPALIVE_MS: what is taken, and what is refused for the defaults.
#include <gtest/gtest.h>

#include "test_support.h"
#include "transport/keepalive_setting.h"

namespace {

TEST(KeepAliveSetting, ThreeNumbersWithinTheirLimitsOrTheDefaults) {
  const vxb::plat::KeepAlive kDefaults{30000, 5000, 5};
  const struct {
    const char* text;
    vxb::plat::KeepAlive k;
  } cases[] = {
      {"1000,500,3", {1000, 500, 3}},
      {"1000,100,1", {1000, 100, 1}},                        // every least value
      {"32767000,32767000,127", {32767000, 32767000, 127}},  // every largest
      {"0002000,0100,01", {2000, 100, 1}},
      {"999,500,3", kDefaults},
      {"1000,99,3", kDefaults},
      {"1000,500,0", kDefaults},
      {"32767001,500,3", kDefaults},
      {"1000,32767001,3", kDefaults},
      {"1000,500,128", kDefaults},
      {"1000,500,99999999999999999999", kDefaults},  // would wrap a 64-bit sum
      {"1000,500", kDefaults},
      {"1000,500,3,4", kDefaults},
      {"1000,,3", kDefaults},
      {"1000, 500,3", kDefaults},
      {"1000,500,3 ", kDefaults},
      {"-1000,500,3", kDefaults},
      {"1000,500,3,1000,500,3,1000,500,3", kDefaults},  // longer than any valid value
      {"", kDefaults},
      {nullptr, kDefaults},
  };
  for (const auto& c : cases) {
    vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", c.text);
    const vxb::plat::KeepAlive k = vxb::KeepAliveFromEnvironment();
    EXPECT_EQ(std::to_string(k.idleMs) + "," + std::to_string(k.intervalMs) + "," + std::to_string(k.probes),
              std::to_string(c.k.idleMs) + "," + std::to_string(c.k.intervalMs) + "," + std::to_string(c.k.probes))
        << (c.text == nullptr ? "unset" : c.text);
  }
  vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
}

}  // namespace
