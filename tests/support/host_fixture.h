// The host side of the API, hostile and soak tests, through the exported
// API only: handlers that log what the library hands them, a responder
// viewer that echoes, and a fixture that leaves the library idle.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"

namespace vxtest {

// What the host's handlers saw. Handlers are plain function pointers, so
// this is process-wide.
struct HostLog {
  std::atomic<int> calls{0};   // CallHandler calls that returned
  std::atomic<int> brokenStarted{0};  // BrokenHandler calls begun
  std::atomic<int> broken{0};         // BrokenHandler calls that returned
  std::atomic<int> brokenDuringCall{0};  // BrokenHandler ran while a call ran
  std::atomic<int> brokenDelayMs{0};     // how long the BrokenHandler takes
  std::atomic<bool> inCall{false};
  std::mutex mu;
  std::vector<std::string> seen;  // "name|args" of every call, in order
};
HostLog& Log();
void ResetLog();
// The BrokenHandler of a lost connection ran, once: it runs on the
// connection's own thread, maybe after the loss was seen.
inline bool BrokenRanOnce() {
  return WaitUntil([] { return Log().broken.load() != 0; }) && Log().broken.load() == 1;
}
std::vector<std::string> SeenCalls();

// What the CallHandler does after logging (null: leave the preset answer).
// Set only while no connection is up, or guard it: the dispatcher reads it.
using CallBehaviour = std::function<void(const char* name, const char* args, CallAnswer* answer)>;
void SetCallBehaviour(CallBehaviour behaviour);
void VXAPI LogCall(const char* name, const char* args, CallAnswer* answer);
void VXAPI LogBroken();

// A viewer driven byte by byte by the test.
struct ScriptPeer : TestPeer {
  ScriptPeer() : TestPeer(Mode::kScript) {}
};

class HostTest : public ::testing::Test {
 protected:
  TestPeer peer;  // responder mode: every EXE/SYS gets RET 0 "ok:<message>"
  uint16_t port = 0;
  long threadsBefore = -1;  // with the peer's own, before any connection

  void SetUp() override;
  void TearDown() override;
  // Connects to peer; waits until it took the connection.
  int Connect(CallHandler onCall = nullptr, BrokenHandler onBroken = nullptr);
  // Lets script listen, connects to it with the logging handlers, and lets
  // it take the connection.
  void Connect(TestPeer& script);
  // Server mode: the host listens on a free port, and Attach connects a
  // viewer there and polls VxAccept until the library took it.
  void ListenAsServer();
  void Attach(TestPeer& viewer);
  uint16_t listenPort = 0;
  // The next `count` messages peer received, in order.
  std::vector<std::string> Received(size_t count);
};

// Ends every test with a well-behaved viewer on a new connection: after
// whatever the viewer did, a command and a call go through and the
// disconnect reports exactly one break.
class Hostile : public HostTest {
 protected:
  void TearDown() override;
};

}  // namespace vxtest
