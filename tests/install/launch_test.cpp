// VxLaunchAndConnect end to end: installation entries in the store, the fake
// viewer as the installed executable, TestPeer as a viewer that is already
// connected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "install/running_probe.h"
#include "install_fixture.h"
#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using vxtest::Entry;
using vxtest::WaitUntil;
using vxtest::WriteEntry;
using vxtest::WriteTotal;

std::atomic<int> g_brokenCalls{0};
void VXAPI CountBroken() { g_brokenCalls.fetch_add(1); }

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class LaunchAndConnect : public vxtest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    markers_ = dir_.Join("markers");
    std::filesystem::create_directories(markers_);
    // Every fake viewer, started by a test or by the library, counts its
    // start there and ends on its own at the latest after a minute.
    vxtest::SetEnv("VXB_FAKE_MARKER_DIR", markers_.c_str());
    vxtest::SetEnv("VXB_FAKE_LIFETIME_MS", "60000");
    vxtest::SetEnv("VXB_FAKE_PORT", nullptr);
    vxtest::SetEnv("VXB_FAKE_DELAY_MS", nullptr);
    g_brokenCalls = 0;
  }
  void TearDown() override {
    VxDisconnect();
    for (vxtest::ChildProcess* c : children_) vxtest::StopChild(c);
    for (const char* name :
         {"VXB_FAKE_MARKER_DIR", "VXB_FAKE_LIFETIME_MS", "VXB_FAKE_PORT", "VXB_FAKE_DELAY_MS"}) {
      vxtest::SetEnv(name, nullptr);
    }
    StoreTest::TearDown();
  }
  // An installed Amber viewer that already runs (idle, listening nowhere).
  std::string RunInstalledViewer() {
    const std::string path = vxtest::CopyFakeViewer(dir_.Join("running"), "Viewer");
    vxtest::ChildProcess* c = vxtest::StartChild(path);
    EXPECT_NE(c, nullptr);
    if (c != nullptr) children_.push_back(c);
    EXPECT_TRUE(WaitUntil([&] { return vxb::IsImageRunning(path.c_str()); }, 20000));
    EXPECT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", path}));
    EXPECT_TRUE(WriteTotal(1));
    return path;
  }
  // A path in a directory of the test where no file is.
  std::string MissingExecutable() const { return dir_.Join("NoSuchViewer"); }

  vxtest::TempDir dir_;
  std::string markers_;
  std::vector<vxtest::ChildProcess*> children_;
};

TEST_F(LaunchAndConnect, UnknownProductLeavesTheStoreUntouched) {
  // A duplicate registration that reading the entries would remove.
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", MissingExecutable()}));
  ASSERT_TRUE(WriteEntry(1, {"Amber", "1.0.0.0", MissingExecutable()}));
  ASSERT_TRUE(WriteTotal(2));
  for (uint32_t product : {1003u, 0u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(VxLaunchAndConnect(product, "127.0.0.1", 1, nullptr, nullptr), VX_E_UNKNOWN_PRODUCT)
        << product;
  }
  EXPECT_TRUE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
  // The same entries with a known product: now the duplicate goes.
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr),
            VX_E_CANNOT_CREATE_PROCESS);
  EXPECT_FALSE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
}

TEST_F(LaunchAndConnect, EachProductLooksForItsOwnEdition) {
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr),
            VX_E_NOT_INSTALLED);
  ASSERT_TRUE(WriteEntry(0, {"Cobalt", "1.0.0.0", MissingExecutable()}));
  ASSERT_TRUE(WriteTotal(1));
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr),
            VX_E_NOT_INSTALLED);
  // Cobalt is found, its executable is not.
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_COBALT, "127.0.0.1", 1, nullptr, nullptr),
            VX_E_CANNOT_CREATE_PROCESS);
  EXPECT_EQ(vxtest::CountStarts(markers_), 0);
}

TEST_F(LaunchAndConnect, MissingExecutableFailsAfterDroppingTheConnection) {
  vxtest::TestPeer held;
  const uint16_t port = held.Listen();
  ASSERT_EQ(VxConnectA("127.0.0.1", port, 0, nullptr, nullptr), VX_OK);
  ASSERT_TRUE(held.WaitConnected());
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", MissingExecutable()}));
  ASSERT_TRUE(WriteTotal(1));
  const auto start = Clock::now();
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", port, nullptr, nullptr),
            VX_E_CANNOT_CREATE_PROCESS);
  // Known at once, without a connection attempt or a pause.
  EXPECT_LT(MsSince(start), 900);
  EXPECT_TRUE(held.WaitClosedByHost());
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_E_NOT_CONNECTED);
}

TEST_F(LaunchAndConnect, RunningViewerWithOpenConnectionIsLeftAsItIs) {
  RunInstalledViewer();
  vxtest::TestPeer held;
  held.SetResponder([](const std::string&) { return vxtest::RetFrame(0, "held"); });
  ASSERT_EQ(VxConnectA("127.0.0.1", held.Listen(), 0, nullptr, nullptr), VX_OK);
  ASSERT_TRUE(held.WaitConnected());
  vxtest::TestPeer other;
  const uint16_t otherPort = other.Listen();

  const auto start = Clock::now();
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", otherPort, nullptr, nullptr), VX_OK);
  EXPECT_LT(MsSince(start), 900);
  // No connection attempt to the port given, the old one still works.
  EXPECT_FALSE(other.WaitConnected(300));
  EXPECT_FALSE(held.WaitClosedByHost(100));
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_OK);
  std::string message;
  ASSERT_TRUE(held.NextMessage(&message));
  EXPECT_EQ(message, "EXE Ping()\n");
  // Nothing started beside the viewer the test runs itself.
  EXPECT_EQ(vxtest::CountStarts(markers_), 1);
}

TEST_F(LaunchAndConnect, RunningViewerNotListeningGetsSixAttemptsAndTheLastResult) {
  RunInstalledViewer();
  const uint16_t port = vxtest::FreeLoopbackPort();
  const auto start = Clock::now();
  EXPECT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", port, nullptr, CountBroken),
            VX_E_HOST_NOT_FOUND);
  const long long took = MsSince(start);
  // Six pauses of a second, the last one after the sixth failure; a
  // seventh attempt would add another.
  EXPECT_GE(took, 6000);
  EXPECT_LT(took, 6900);
  EXPECT_EQ(vxtest::CountStarts(markers_), 1);
  EXPECT_EQ(VxSendCmdA("Ping", ""), VX_E_NOT_CONNECTED);
}

TEST_F(LaunchAndConnect, StartsTheLowestVersionAndRetriesUntilItListens) {
  // Installed below a directory with a blank, and a program where a command
  // line split at that blank would find one: that one must not start.
  const std::string viewer = vxtest::CopyFakeViewer(dir_.Join("two words"), "Viewer");
  const std::string decoy = vxtest::CopyFakeViewer(dir_.path(), "two");
  // Were the newer version chosen, its missing file would give -17.
  ASSERT_TRUE(WriteEntry(0, {"Amber", "3.0.0.0", MissingExecutable()}));
  ASSERT_TRUE(WriteEntry(1, {"Amber", "2.0.0.0", viewer}));
  ASSERT_TRUE(WriteTotal(2));
  const uint16_t port = vxtest::FreeLoopbackPort();
  vxtest::SetEnv("VXB_FAKE_PORT", std::to_string(port).c_str());
  vxtest::SetEnv("VXB_FAKE_DELAY_MS", "1500");
  // A connection to some earlier viewer is dropped once a new one starts.
  vxtest::TestPeer earlier;
  ASSERT_EQ(VxConnectA("127.0.0.1", earlier.Listen(), 0, nullptr, nullptr), VX_OK);
  ASSERT_TRUE(earlier.WaitConnected());

  const auto start = Clock::now();
  ASSERT_EQ(VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", port, nullptr, CountBroken), VX_OK);
  const long long took = MsSince(start);
  // The viewer listens 1.5 s after its start: at least the first attempt
  // failed and was followed by its pause.
  EXPECT_GE(took, 1000);
  EXPECT_LT(took, 6000);
  EXPECT_TRUE(earlier.WaitClosedByHost());
  EXPECT_EQ(vxtest::CountStarts(markers_), 1);
  EXPECT_TRUE(vxb::IsImageRunning(viewer.c_str()));
  EXPECT_FALSE(vxb::IsImageRunning(decoy.c_str()));

  // Connected to the viewer that was started, with the handlers given.
  ASSERT_EQ(VxSendCmdA("Ping", ""), VX_OK);
  uint32_t length = 0;
  char* text = nullptr;
  ASSERT_EQ(VxGetLastResponseA(&length, &text), VX_OK);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, length), "fake-viewer");
  VxFreeA(text);
  const int brokenBefore = g_brokenCalls.load();
  EXPECT_EQ(VxDisconnect(), VX_OK);
  EXPECT_EQ(g_brokenCalls.load(), brokenBefore + 1);
  // The viewer ends with its connection; nothing is left running.
  EXPECT_TRUE(WaitUntil([&] { return !vxb::IsImageRunning(viewer.c_str()); }, 20000));
  // Nor does it stay behind as a zombie of the host.
  EXPECT_TRUE(WaitUntil([] { return vxtest::UnreapedChildren() == 0; }, 5000));
}

#if !defined(_WIN32)
// A host that loads the library at run time, launches the viewer, and
// unloads the library again: the viewer ends only afterwards, and nothing
// of the library may run then.
TEST_F(LaunchAndConnect, UnloadingTheLibraryBeforeTheStartedViewerEnds) {
  const std::string viewer = vxtest::CopyFakeViewer(dir_.Join("installed"), "Viewer");
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", viewer}));
  ASSERT_TRUE(WriteTotal(1));
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
  // The viewer ends with its connection and is collected all the same.
  EXPECT_TRUE(WaitUntil([&] { return !vxb::IsImageRunning(viewer.c_str()); }, 20000));
  EXPECT_TRUE(WaitUntil([] { return vxtest::UnreapedChildren() == 0; }, 5000));
}
#endif

}  // namespace
