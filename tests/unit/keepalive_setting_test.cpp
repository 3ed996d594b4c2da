// The connection settings a host gives through the environment: what is
// taken, and what is refused for the defaults.
#include <gtest/gtest.h>

#include "test_support.h"
#include "interface/library_state.h"
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
      {"1000,500,99999999999999999999", kDefaults},  // would wrap a 64-bit sum
      {"1000,500", kDefaults},
      {"1000,500,3,4", kDefaults},
      {"1000, 500,3", kDefaults},
      {"-1000,500,3", kDefaults},
      {"1000,500,3,1000,500,3,1000,500,3", kDefaults},  // longer than any valid value
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

// VXBRIDGE_COMMAND_TIMEOUT_MS: whole milliseconds above 0; anything else is
// no limit, rather than a limit nobody meant.
TEST(CommandTimeOutSetting, WholeMillisecondsOrNoLimit) {
  constexpr uint32_t kNone = vxb::plat::kInfinite;
  const struct {
    const char* text;
    uint32_t ms;
  } cases[] = {{"300", 300}, {"000000000000001", 1}, {"4294967294", 4294967294u}, {"4294967295", kNone},
               {"0", kNone}, {"25x", kNone}, {"-5", kNone}, {" 300", kNone}, {"1000000000000000", kNone},
               {"", kNone}, {nullptr, kNone}};
  for (const auto& c : cases) {
    vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", c.text);
    EXPECT_EQ(vxb::CommandTimeoutFromEnvironment(), c.ms) << (c.text == nullptr ? "unset" : c.text);
  }
  vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
}

}  // namespace
