// The connection settings a host gives through the environment: what is
// taken, and what is refused for the defaults with a note for the trace;
// the tools say the same note on the console (tools/common).
#include <gtest/gtest.h>

#include "library_settings.h"

#include "test_support.h"
#include "interface/library_state.h"
#include "transport/command_timeout_setting.h"
#include "transport/keepalive_setting.h"
#include "transport/wire_trace.h"

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
      {"1000;500;3", kDefaults},
      {"-1000,500,3", kDefaults},
      {"1000,500,3,1000,500,3,1000,500,3", kDefaults},  // longer than any valid value
      {"", kDefaults},
      {nullptr, kDefaults},
  };
  for (const auto& c : cases) {
    vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", c.text);
    std::string note;
    const vxb::plat::KeepAlive k = vxb::KeepAliveFromEnvironment(&note);
    const std::string name = c.text == nullptr ? "unset" : c.text;
    EXPECT_EQ(std::to_string(k.idleMs) + "," + std::to_string(k.intervalMs) + "," + std::to_string(k.probes),
              std::to_string(c.k.idleMs) + "," + std::to_string(c.k.intervalMs) + "," + std::to_string(c.k.probes))
        << name;
    // A value was given and not taken: the trace says so, and the tools in the same words.
    const bool refused = c.text != nullptr && *c.text != 0 && c.k.idleMs == kDefaults.idleMs;
    EXPECT_EQ(note.empty(), !refused) << name;
    EXPECT_EQ(vxtools::ignoredSettings(), refused ? std::vector<std::string>{note} : std::vector<std::string>{})
        << name;
  }
  vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
}

// VXBRIDGE_COMMAND_TIMEOUT_MS: whole milliseconds, 0 for no limit; anything
// else is no limit as well, rather than a limit nobody meant, and noted
// (the notes' words: tests/api/wire_trace_test.cpp).
TEST(CommandTimeOutSetting, WholeMillisecondsOrNoLimit) {
  constexpr uint32_t kNone = vxb::plat::kInfinite;
  const struct {
    const char* text;
    uint32_t ms;
    bool refused;
  } cases[] = {{"300", 300, false},        {"000000000000001", 1, false}, {"4294967294", 4294967294u, false},
               {"0", kNone, false},        {"", kNone, false},            {nullptr, kNone, false},
               {"4294967295", kNone, true}, {"25x", kNone, true},         {"1s", kNone, true},
               {"-5", kNone, true},        {" 300", kNone, true},         {"300 ", kNone, true},
               {"1e3\x01", kNone, true},       {"1000000000000000", kNone, true}};  // too long to read whole
  for (const auto& c : cases) {
    vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", c.text);
    const std::string name = c.text == nullptr ? "unset" : c.text;
    EXPECT_EQ(vxb::CommandTimeoutFromEnvironment(), c.ms) << name;
    std::string note;  // the trace's, and the tools' in the same words
    vxb::CommandTimeoutSetting(&note);
    EXPECT_EQ(note.empty(), !c.refused) << name;
    EXPECT_EQ(vxtools::ignoredSettings(), c.refused ? std::vector<std::string>{note} : std::vector<std::string>{})
        << name;
    EXPECT_EQ(vxtools::commandTimeoutMs(), c.ms == kNone ? 0u : c.ms) << name;
  }
  vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
}

// VXBRIDGE_TRACE: the usual words for off and on, in any letter case; any
// other value is a file's path.
TEST(TraceSetting, OffStandardErrorOrAFile) {
  using vxb::TraceTarget;
  using Values = std::vector<const char*>;
  for (const auto& [values, target] : {std::pair{Values{nullptr, "", "0", "false", "OFF", "No"}, TraceTarget::kOff},
                                       {Values{"stderr", "1", "TRUE", "on", "Yes"}, TraceTarget::kStandardError},
                                       {Values{"00", "nope", "trace.log", "false "}, TraceTarget::kFile}}) {
    for (const char* value : values)
      EXPECT_EQ(static_cast<int>(vxb::TraceTargetOf(value)), static_cast<int>(target)) << (value ? value : "unset");
  }
}

}  // namespace
