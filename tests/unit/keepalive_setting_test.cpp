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
    // A value was given and not taken: the trace says so.
    const bool refused = c.text != nullptr && *c.text != 0 && c.k.idleMs == kDefaults.idleMs;
    EXPECT_EQ(!note.empty(), refused) << name << ": " << note;
    EXPECT_EQ(vxtools::ignoredSettings(), refused ? std::vector<std::string>{note} : std::vector<std::string>{})
        << name;
  }
  vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", "1000,500");
  std::string note;
  vxb::KeepAliveFromEnvironment(&note);
  EXPECT_EQ(note, "VXBRIDGE_KEEPALIVE_MS=\"1000,500\" ignored: not IDLE,INTERVAL,COUNT (1000-32767000 ms, "
                  "100-32767000 ms, 1-127 probes); the defaults 30000,5000,5 apply");
  vxtest::SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
}

// VXBRIDGE_COMMAND_TIMEOUT_MS: whole milliseconds, 0 for no limit; anything
// else is no limit as well, rather than a limit nobody meant, and noted.
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
               {"1e3", kNone, true},       {"1000000000000000", kNone, true}};  // too long to read whole
  for (const auto& c : cases) {
    vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", c.text);
    const std::string name = c.text == nullptr ? "unset" : c.text;
    EXPECT_EQ(vxb::CommandTimeoutFromEnvironment(), c.ms) << name;
    std::string note;
    vxb::CommandTimeoutSetting(&note);
    EXPECT_EQ(!note.empty(), c.refused) << name << ": " << note;
    EXPECT_EQ(vxtools::ignoredSettings(), c.refused ? std::vector<std::string>{note} : std::vector<std::string>{})
        << name;
    EXPECT_EQ(vxtools::commandTimeoutMs(), c.ms == kNone ? 0u : c.ms) << name;
  }
  vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", "1\x01s");
  std::string note;
  vxb::CommandTimeoutSetting(&note);
  EXPECT_EQ(note, "VXBRIDGE_COMMAND_TIMEOUT_MS=\"1?s\" ignored: not a whole number of milliseconds from 0 to "
                  "4294967294; commands wait without limit");
  vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
}

// VXBRIDGE_TRACE: the usual words for off and on, in any letter case; any
// other value is a file's path.
TEST(TraceSetting, OffStandardErrorOrAFile) {
  using vxb::TraceTarget;
  const struct {
    const char* text;
    TraceTarget target;
  } cases[] = {{nullptr, TraceTarget::kOff},        {"", TraceTarget::kOff},
               {"0", TraceTarget::kOff},            {"false", TraceTarget::kOff},
               {"OFF", TraceTarget::kOff},          {"No", TraceTarget::kOff},
               {"stderr", TraceTarget::kStandardError}, {"1", TraceTarget::kStandardError},
               {"TRUE", TraceTarget::kStandardError},   {"on", TraceTarget::kStandardError},
               {"Yes", TraceTarget::kStandardError},    {"00", TraceTarget::kFile},
               {"nope", TraceTarget::kFile},        {"trace.log", TraceTarget::kFile},
               {"false ", TraceTarget::kFile}};
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(vxb::TraceTargetOf(c.text)), static_cast<int>(c.target))
        << (c.text == nullptr ? "unset" : c.text);
  }
}

}  // namespace
