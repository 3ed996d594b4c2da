// A connection whose threads cannot be started, through the exports but
// linked statically, so that the fault hook reaches the library's own
// thread starts.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"

namespace {

namespace plat = vxb::plat;

std::atomic<int> g_handlerCalls{0};
void VXAPI CountCall(const char*, const char*, CallAnswer*) { ++g_handlerCalls; }
void VXAPI CountBroken() { ++g_handlerCalls; }

// Connects (or, server, accepts) with the n-th thread start failing.
int ConnectFailingStart(uint32_t n, bool server, vxtest::TestPeer& viewer) {
  int rc = 1;
  if (server) {
    const uint16_t port = vxtest::FreeLoopbackPort();
    if (VxConnectAsServer(port, 0) != 0 || !viewer.ConnectTo(port)) return 1;
    plat::SetThreadStartFailure(n);
    vxtest::WaitUntil([&rc] { return (rc = VxAccept()) != VX_E_NOT_CONNECTED; });
  } else {
    const uint16_t port = viewer.Listen();
    plat::SetThreadStartFailure(n);
    rc = VxConnectA("127.0.0.1", port, 0, CountCall, CountBroken);
    if (!viewer.Accept()) rc = 1;
  }
  plat::SetThreadStartFailure(0);
  return rc;
}

// Either of the two threads failing fails the connect or accept as a
// whole: -11, the socket closed (the viewer sees it at once), nothing left
// running, no handler called, no break to report. The next one works.
TEST(SessionStart, AThreadThatCannotStartFailsTheConnectAsAWhole) {
  for (const bool server : {false, true}) {
    for (const uint32_t n : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(n) + (server ? " server" : " client"));
      g_handlerCalls = 0;
      VxIsConnectionBroken();  // what an earlier connection left, taken
      const long before = vxtest::ProcessThreads();
      vxtest::TestPeer viewer(vxtest::TestPeer::Mode::kScript);
      EXPECT_EQ(ConnectFailingStart(n, server, viewer), VX_E_NOT_ENOUGH_MEMORY);
      EXPECT_TRUE(viewer.WaitClosedByHost());
      EXPECT_TRUE(vxtest::ThreadsBackTo(before));
      EXPECT_EQ(VxSendCmdA("After", ""), VX_E_NOT_CONNECTED);
      EXPECT_EQ(VxAvailableBytes(), -1);
      EXPECT_EQ(VxIsConnectionBroken(), 0);
      EXPECT_EQ(g_handlerCalls, 0);
    }
  }
  vxtest::TestPeer viewer;
  viewer.SetResponder([](const std::string&) { return vxtest::RetFrame(0, "ok"); });
  ASSERT_EQ(VxConnectA("127.0.0.1", viewer.Listen(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(VxSendCmdA("Works", ""), 0);
  EXPECT_EQ(VxDisconnect(), 0);
}

}  // namespace
