// A connection whose threads cannot be started, through the exports but
// linked statically, so that the fault hook reaches the library's own
// thread starts; and the same under a real address-space limit.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

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

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VXB_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VXB_SANITIZED 1
#endif

#if defined(__linux__) && !defined(VXB_SANITIZED)
// A 32-bit host is the one that runs out of address space: with no room
// left for a thread's stack, the connect fails with -11 instead of
// reporting a connection nothing serves. (Sanitizers reserve address space
// by the terabyte: not under them.)
TEST(SessionStart, UnderAnAddressSpaceLimitTheConnectFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vxtest::TestPeer viewer(vxtest::TestPeer::Mode::kScript);
        const uint16_t port = viewer.Listen();
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        rlimit tight = limit;
        // Room for small allocations, none for a thread's stack.
        tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
        setrlimit(RLIMIT_AS, &tight);
        const int rc = VxConnectA("127.0.0.1", port, 0, nullptr, nullptr);
        setrlimit(RLIMIT_AS, &limit);
        const bool closed = viewer.Accept() && viewer.WaitClosedByHost();
        std::exit(rc == VX_E_NOT_ENOUGH_MEMORY && closed ? 0 : 10 + (rc < 0 ? -rc : 30));
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
