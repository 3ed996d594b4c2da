// The host side of the hostile-viewer tests: handlers that log what the
// library hands them, a watchdog that turns a hang into a failure with a
// name, and the check every test ends with: after whatever the viewer did,
// a well-behaved viewer on a new connection gets a command and a call
// through.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "api_helpers.h"
#include "raw_viewer.h"
#include "vxbridge.h"

namespace vxhostile {

// What the host's handlers saw. Handlers are plain function pointers, so
// this is process-wide.
struct HostLog {
  std::atomic<int> calls{0};   // CallHandler calls that returned
  std::atomic<int> broken{0};  // BrokenHandler calls
  std::atomic<int> ticks{0};   // a clock for ordering handler events
  std::atomic<int> lastCallEnd{0};
  std::atomic<int> brokenAt{0};
  std::atomic<int> brokenDuringCall{0};  // BrokenHandler ran while a call ran
  std::atomic<bool> inCall{false};
  std::mutex mu;
  std::vector<std::string> seen;  // "name|args" of every call, in order
};
HostLog& Log();
void ResetLog();
std::vector<std::string> SeenCalls();

// What the CallHandler does besides logging (null: leave the answer
// preset). Set only while no connection is up: the dispatcher reads it.
using CallBehaviour = std::function<void(const char* name, const char* args, CallAnswer* answer)>;
void SetCallBehaviour(CallBehaviour behaviour);

void VXAPI LoggingCallHandler(const char* name, const char* args, CallAnswer* answer);
void VXAPI LoggingBrokenHandler();

// The latest answer text through VxGetLastResponseA.
using vxtest::LastResponseText;
// Polls cond every millisecond for up to timeoutMs.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000);
// A fresh well-behaved viewer on a new connection: one command and one call
// of the viewer go through, and the disconnect reports exactly one break.
void ExpectHealthyRoundTrip();

// Aborts the process with the test's name when a test outlives its time:
// a hang in the library must end the run, not stall it.
class Watchdog {
 public:
  explicit Watchdog(int seconds);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  struct State;
  State* state_;
};

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Connects the host in client mode to a listening RawViewer and lets the
  // viewer take the connection.
  void Connect(RawViewer& viewer);

 private:
  Watchdog* watchdog_ = nullptr;
};

}  // namespace vxhostile
