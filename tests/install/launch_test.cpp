// VxLaunchAndConnect end to end: installation entries in the store, the fake
// viewer as the installed executable, TestPeer as a viewer already connected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "install/running_probe.h"
#include "install_fixture.h"
#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"

namespace {

using namespace vxtest;

std::atomic<int> g_brokenCalls{0};
void VXAPI CountBroken() { g_brokenCalls.fetch_add(1); }

class LaunchAndConnect : public vxtest::InstallTest {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    threadsBefore_ = vxtest::ProcessThreads();
  }
  void TearDown() override {
    VxDisconnect();
    InstallTest::TearDown();
    // The library's own threads (a connection's, the one that collects a
    // started viewer's exit) end on their own: let them, before the next
    // test and before the process ends (LeakSanitizer's check at exit
    // cannot stop a thread that is in the middle of ending). A sanitizer
    // may have started a thread of its own meanwhile: no count is held to.
    vxtest::SettleThreads(threadsBefore_);
  }
  long threadsBefore_ = -1;
  VxResult Launch(uint32_t product, uint16_t port, BrokenHandler onBroken = nullptr) {
    return VxLaunchAndConnect(product, "127.0.0.1", port, nullptr, onBroken);
  }
  static long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  }
  // Connects the library to held, a viewer already running.
  void ConnectTo(vxtest::TestPeer& held) {
    ASSERT_EQ(VxConnectA("127.0.0.1", held.Listen(), 0, nullptr, nullptr), VX_OK);
    ASSERT_TRUE(held.WaitConnected());
  }
  std::string Missing() const { return Join("NoSuchViewer"); }
};

TEST_F(LaunchAndConnect, ProductsFindTheirOwnEditionUnknownOnesLeaveTheStore) {
  vxtest::TestPeer held;
  ConnectTo(held);
  EXPECT_EQ(Launch(VX_PRODUCT_AMBER, 1), VX_E_NOT_INSTALLED);
  // A duplicate registration that reading the entries would remove.
  ASSERT_TRUE(WriteEntry("0", {"Cobalt", "1.0.0.0", Missing()}) &&
              WriteEntry("1", {"Cobalt", "1.0.0.0", Missing()}) && WriteTotal(2));
  for (uint32_t product : {1003u, 0u, 1000u, 0xFFFFFFFFu}) EXPECT_EQ(Launch(product, 1), VX_E_UNKNOWN_PRODUCT);
  EXPECT_TRUE(vxtest::SlotExists("0"));
  EXPECT_EQ(Launch(VX_PRODUCT_AMBER, 1), VX_E_NOT_INSTALLED);
  EXPECT_FALSE(vxtest::SlotExists("0"));
  EXPECT_FALSE(held.WaitClosedByHost(100));
  // Cobalt is found, its executable is not: known at once, without a
  // connection attempt or a pause, after the connection was dropped.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Launch(VX_PRODUCT_COBALT, 1), VX_E_CANNOT_CREATE_PROCESS);
  EXPECT_LT(MsSince(start), 900);
  EXPECT_TRUE(held.WaitClosedByHost());
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Starts(), 0);
}

TEST_F(LaunchAndConnect, RunningViewerKeepsItsConnectionOrGetsSixAttempts) {
  // An installed Amber viewer that already runs, listening nowhere.
  const std::string path = CopyViewer("running", "Viewer");
  Run(path);
  ASSERT_TRUE(WriteEntry("0", {"Amber", "1.0.0.0", path}) && WriteTotal(1));
  vxtest::TestPeer held;
  held.SetResponder([](const std::string&) { return vxtest::RetFrame(0, "held"); });
  ConnectTo(held);
  vxtest::TestPeer other;
  EXPECT_EQ(Launch(VX_PRODUCT_AMBER, other.Listen()), VX_OK);
  // No connection attempt to the port given; the old one still works.
  EXPECT_FALSE(other.WaitConnected(300));
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_OK);
  std::string message;
  EXPECT_TRUE(held.NextMessage(&message) && message == "EXE Ping()\n") << message;

  // Not connected, and the viewer does not listen: six attempts (each
  // traced as it fails), six pauses of a second, the last after the sixth.
  EXPECT_EQ(VxDisconnect(), VX_OK);
  const char* const trace = "launch_attempts.trace";
  std::remove(trace);
  vxtest::SetEnv("VXBRIDGE_TRACE", trace);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Launch(VX_PRODUCT_AMBER, vxtest::FreeLoopbackPort(), CountBroken), VX_E_HOST_NOT_FOUND);
  EXPECT_GE(MsSince(start), 6000);
  vxtest::SetEnv("VXBRIDGE_TRACE", nullptr);
  std::ifstream lines(trace);
  int attempts = 0;
  std::string all;
  for (std::string line; std::getline(lines, line); all += line + "\n") {
    attempts += line.find(" failed (-5)") != std::string::npos;
  }
  lines.close();
  std::remove(trace);
  EXPECT_EQ(attempts, 6) << all;
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Starts(), 1);  // only the viewer the test runs
}

TEST_F(LaunchAndConnect, StartsTheLowestVersionAndRetriesUntilItListens) {
  // Below a directory with a blank, beside a program that a command line
  // split at that blank would start.
  const std::string viewer = CopyViewer("two words", "Viewer");
  const std::string decoy = CopyViewer("", "two");
  // Were the newer version chosen, its missing file would give -17.
  ASSERT_TRUE(WriteEntry("0", {"Amber", "3.0.0.0", Missing()}) &&
              WriteEntry("1", {"Amber", "2.0.0.0", viewer}) && WriteTotal(2));
  const uint16_t port = vxtest::FreeLoopbackPort();
  vxtest::SetEnv("VXB_FAKE_PORT", std::to_string(port).c_str());
  vxtest::SetEnv("VXB_FAKE_DELAY_MS", "1500");
  // A connection to an earlier viewer is dropped once a new one starts.
  vxtest::TestPeer earlier;
  ConnectTo(earlier);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Launch(VX_PRODUCT_AMBER, port, CountBroken), VX_OK);
  // It listens 1.5 s after its start: the first attempt failed and paused.
  // No upper bound: a slow machine may start the viewer late, and that the
  // attempts did not run out is what VX_OK already says.
  EXPECT_GE(MsSince(start), 1000);
  EXPECT_TRUE(earlier.WaitClosedByHost());
  EXPECT_EQ(Starts(), 1);
  EXPECT_TRUE(vxb::IsImageRunning(viewer.c_str()));
  EXPECT_FALSE(vxb::IsImageRunning(decoy.c_str()));

  // Connected to the viewer started, with the handlers given.
  ASSERT_EQ(VxSendCmdA("Ping", ""), VX_OK);
  EXPECT_EQ(vxtest::LastResponseText(), "fake-viewer");
  const int brokenBefore = g_brokenCalls.load();
  EXPECT_EQ(VxDisconnect(), VX_OK);
  EXPECT_EQ(g_brokenCalls.load(), brokenBefore + 1);  // run before the disconnect returned
  // The viewer ends with its connection and stays no zombie of the host.
  EXPECT_TRUE(WaitUntil([&] { return !vxb::IsImageRunning(viewer.c_str()); }, 20000));
  EXPECT_TRUE(WaitUntil([] { return !vxtest::HasUnreapedChild(); }));
}

#if !defined(_WIN32)
// A host that loads the library at run time, launches, and unloads the
// library before the viewer ends: nothing of the library may run then.
TEST_F(LaunchAndConnect, UnloadingTheLibraryBeforeTheStartedViewerEnds) {
  const std::string viewer = CopyViewer("installed", "Viewer");
  ASSERT_TRUE(WriteEntry("0", {"Amber", "1.0.0.0", viewer}) && WriteTotal(1));
  const uint16_t port = vxtest::FreeLoopbackPort();
  vxtest::SetEnv("VXB_FAKE_PORT", std::to_string(port).c_str());
  const std::string file = vxtest::ExecutableDirectory() + "/" VXB_LIBRARY_FILE;
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto launch = reinterpret_cast<decltype(&VxLaunchAndConnect)>(dlsym(library, "VxLaunchAndConnect"));
  const auto disconnect = reinterpret_cast<decltype(&VxDisconnect)>(dlsym(library, "VxDisconnect"));
  ASSERT_TRUE(launch != nullptr && disconnect != nullptr);
  ASSERT_EQ(launch(VX_PRODUCT_AMBER, "127.0.0.1", port, nullptr, nullptr), VX_OK);
  EXPECT_EQ(disconnect(), VX_OK);
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_TRUE(WaitUntil([&] { return !vxb::IsImageRunning(viewer.c_str()); }, 20000));
  EXPECT_TRUE(WaitUntil([] { return !vxtest::HasUnreapedChild(); }));
}
#endif

}  // namespace
