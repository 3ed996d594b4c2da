// A host session against a test viewer, through the exported API only.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "api_helpers.h"
#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"

namespace vxtest {

// What the test viewer answers by default: every EXE/SYS gets RET 0 with
// the payload "ok:<message>" so tests can see which message was answered.
inline std::string EchoAnswer(const std::string& message) {
  if (message.compare(0, 4, "RET ") == 0) return std::string();
  return RetFrame(0, "ok:" + message);
}

class ApiSession : public ::testing::Test {
 protected:
  TestPeer viewer;
  uint16_t port = 0;

  void SetUp() override {
    port = viewer.Listen();
    viewer.SetResponder(EchoAnswer);
  }
  void TearDown() override {
    VxDisconnect();
    while (VxIsConnectionBroken() != 0) {
    }
    CallRecord r;
    while (VxRecvCmd(&r) != 0) {
    }
  }
  int Connect(CallHandler onCall = nullptr, BrokenHandler onBroken = nullptr) {
    const int rc = VxConnectA("127.0.0.1", port, 0, onCall, onBroken);
    if (rc == 0) {
      EXPECT_TRUE(viewer.WaitConnected());
    }
    return rc;
  }
  static std::string LastResponse() { return LastResponseText(); }
  // Messages the viewer received since the last call, in order.
  std::vector<std::string> Received(size_t count) {
    std::vector<std::string> out;
    std::string m;
    while (out.size() < count && viewer.NextMessage(&m)) out.push_back(m);
    return out;
  }
};

}  // namespace vxtest
