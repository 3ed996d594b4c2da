// What a real network does to a connection: the viewer's side vanishes
// without a word, the link stalls and comes back, the link is slow. Each
// case runs in a network namespace of its own (the test thread moves into a
// new one; every thread and socket it makes afterwards is there), where
// taking the loopback down makes every packet vanish and tc makes it slow.
// Nothing leaves the namespace. Needs root (skipped otherwise) and ip/tc.
//
// --long also runs the case with the default keep-alive times (a minute).
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host_fixture.h"
#include "process_probe.h"

namespace vxtest {
namespace {

using Clock = std::chrono::steady_clock;
bool g_long = false;

int MsSince(Clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Runs ip(8) or tc(8) on the calling thread's namespace (they live in
// sbin, which a plain user's PATH may lack).
bool Net(const std::string& command) {
  return std::system(("PATH=$PATH:/usr/sbin:/sbin " + command + " >/dev/null 2>&1").c_str()) == 0;
}
bool Loopback(bool up) { return Net(std::string("ip link set lo ") + (up ? "up" : "down")); }

// A link of a few Mbit/s with the packets of a real one.
bool SlowLink() {
  return Net("ip link set lo mtu 1500") && Net("tc qdisc add dev lo root tbf rate 8mbit burst 16kb latency 500ms");
}
constexpr double kSlowBytesPerMs = 8e6 / 8 / 1000;

// The measured figures, printed for the record.
void Figure(const std::string& what, double value, const char* unit) {
  std::printf("[ figure   ] %s: %.1f %s\n", what.c_str(), value, unit);
}

// The short keep-alive times of these tests. Linux counts them in whole
// seconds, rounded up: 1 s idle, then 3 probes 1 s apart.
constexpr const char* kShortKeepAlive = "1000,500,3";
constexpr int kShortWindowMs = 1000 + 3 * 1000;
constexpr int kDefaultWindowMs = 30000 + 5 * 5000;

class Link : public HostTest {
 protected:
  void SetUp() override {
    if (unshare(CLONE_NEWNET) != 0) {
      GTEST_SKIP() << "no network namespace can be made here (" << std::strerror(errno)
                   << "): the link suite needs root on Linux";
    }
    if (!Loopback(true)) GTEST_SKIP() << "ip (iproute2) cannot bring the loopback up";
    HostTest::SetUp();
    SetEnv("VXBRIDGE_KEEPALIVE_MS", kShortKeepAlive);
  }
  void TearDown() override {
    SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
    HostTest::TearDown();
  }

  enum class While { kCommandWaits, kIdle, kPetitionHeld, kCommandSentAfter };
  void Vanish(While when, int windowMs, int lateMs = 1000);
};

// The viewer's side vanishes (nothing more arrives, no FIN, no RST): only
// keep-alive can tell, or for a command sent afterwards the command
// time-out. The connection ends within that window and lateMs, it ends
// once, nothing of it is left behind, and the next connection works.
void Link::Vanish(While when, int windowMs, int lateMs) {
  const bool server = when == While::kPetitionHeld;
  if (server) ListenAsServer();
  const vxsoak::ProcessFigures before = vxsoak::MeasureProcess();
  std::string m;
  auto petition = [this](TestPeer& viewer) {  // a served viewer's call, taken
    Attach(viewer);
    ASSERT_TRUE(viewer.SendFrame("EXE Ask()\n"));
    ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(Petition(), "EXE Ask()\n");
  };
  {
    ScriptPeer viewer;
    const bool after = when == While::kCommandSentAfter;
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", after ? std::to_string(windowMs).c_str() : nullptr);
    server ? petition(viewer) : Connect(viewer);
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
    std::atomic<int> rc{1};
    std::thread host;
    auto send = [&] { host = std::thread([&rc] { rc = VxSendCmdA("Wait", ""); }); };
    if (when == While::kCommandWaits || server) {
      send();
      EXPECT_TRUE(viewer.NextMessage(&m));
    }
    // The acknowledgement of the last segment leaves within the delayed-ACK
    // time (200 ms at most): afterwards nothing is in flight.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool waits = when != While::kIdle;
    const char* const what[] = {"command waits", "idle", "server, command waits", "command sent after, time-out"};
    const Clock::time_point vanished = Clock::now();
    EXPECT_TRUE(Loopback(false));
    if (after) send();
    const bool ended = WaitUntil([&] { return waits ? rc.load() != 1 : Log().broken.load() > 0; }, windowMs + 10000);
    const int noticedMs = MsSince(vanished);
    EXPECT_TRUE(ended);
    if (!ended) VxDisconnect();  // releases the command
    if (waits) host.join();
    EXPECT_TRUE(!waits || rc == VX_E_COMMUNICATION_BROKEN) << rc;
    Figure(std::string("vanished to noticed (") + what[static_cast<int>(when)] + ", window " +
               std::to_string(windowMs) + " ms)",
           noticedMs, "ms");
    EXPECT_GT(noticedMs, 1000) << "before the first probe was due";
    EXPECT_LE(noticedMs, windowMs + lateMs);
    // The flag goes up as the connection ends.
    EXPECT_TRUE(WaitUntil([] { return VxIsConnectionBroken() == 1; }));
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    if (server) {
      EXPECT_EQ(VxAvailableBytes(), -1);
      EXPECT_EQ(VxSendAck(), VX_E_NOT_CONNECTED);
    }
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_TRUE(server ? Log().broken == 0 : BrokenRanOnce());
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    ASSERT_TRUE(Loopback(true));
  }
  // Descriptors and threads come back to what they were (the library's
  // threads may finish a little after the disconnect).
  vxsoak::ProcessFigures a;
  auto settled = [&] {
    a = vxsoak::MeasureProcess();
    return a.descriptors <= before.descriptors && a.threads <= before.threads;
  };
  EXPECT_TRUE(WaitUntil(settled, 5000)) << "descriptors " << a.descriptors << ", threads " << a.threads << ", were "
                                         << before.descriptors << ", " << before.threads;
  if (server) {
    ScriptPeer next;
    petition(next);
    EXPECT_EQ(VxSendAck(), 0);
    ASSERT_TRUE(next.NextMessage(&m));
    EXPECT_EQ(m, "RET 0,6,OK_ACK");
    return;
  }
  ASSERT_EQ(Connect(LogCall, LogBroken), 0);
  EXPECT_EQ(VxSendCmdA("Ping", "again"), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Ping(again)\n");
}

TEST_F(Link, VanishWhileACommandWaits) { Vanish(While::kCommandWaits, kShortWindowMs); }
TEST_F(Link, VanishWhileTheHostIsIdle) { Vanish(While::kIdle, kShortWindowMs); }
TEST_F(Link, VanishWhileAServerHoldsAPetition) { Vanish(While::kPetitionHeld, kShortWindowMs); }
// Keep-alive probes a quiet connection only: a command sent after the
// viewer vanished is retransmitted by TCP for many minutes, and the
// command time-out (here the window) is what ends it.
TEST_F(Link, VanishThenACommandEndsAtTheCommandTimeOut) { Vanish(While::kCommandSentAfter, 1500); }

TEST_F(Link, VanishWithTheDefaultTimes) {
  if (!g_long) GTEST_SKIP() << "the default keep-alive times take a minute: run with --long";
  SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
  // The kernel lets a timer of several seconds fire up to an eighth late.
  Vanish(While::kCommandWaits, kDefaultWindowMs, kDefaultWindowMs / 8 + 1000);
}

// Near-limit frames both ways across a slow link: each command's 2 MB
// argument reaches the viewer whole, and the viewer's 2 MB call and 2 MB
// answer reach the host whole and in order.
TEST_F(Link, LargeFramesCrossASlowLinkWhole) {
  ASSERT_TRUE(SlowLink());
  ScriptPeer viewer;
  Connect(viewer);
  constexpr size_t kSize = 1999000;  // the largest frame the library takes is 2,000,000 bytes
  auto text = [](int round, char kind) { return std::to_string(round) + std::string(kSize, kind); };
  constexpr int kRounds = 2;
  std::atomic<int> whole{0};
  viewer.Run([&](TestPeer& v) {
    std::string m;
    for (int i = 0; i < kRounds && v.NextMessage(&m, 30000);) {
      if (m == "RET 0,2,OK") continue;  // the host's answer to a call
      whole += m == "EXE Up(" + text(i, 'u') + ")\n";
      v.SendRaw(Frame("EXE Call(" + text(i, 'c') + ")\n") + RetFrame(i, text(i, 'a')));
      ++i;
    }
    v.WaitClosedByHost(30000);
  });
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(VxSendCmdA("Up", text(i, 'u').c_str()), i);
    EXPECT_TRUE(LastResponseText() == text(i, 'a')) << "answer " << i;
  }
  const int ms = MsSince(start);
  Figure("2 rounds of 3 x 2 MB across the 8 Mbit/s link", ms, "ms");
  Figure("throughput", 3.0 * kRounds * kSize / ms / kSlowBytesPerMs * 100, "% of the link rate");
  EXPECT_EQ(whole, kRounds);
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == kRounds; }));
  const std::vector<std::string> seen = SeenCalls();
  for (int i = 0; i < kRounds; ++i) EXPECT_TRUE(seen[i] == "Call|" + text(i, 'c')) << "call " << i;
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
}

// A command whose send the slow link holds up (8 MB take seconds to leave)
// still ends at the command time-out.
TEST_F(Link, TheCommandTimeOutCoversASendHeldUpByASlowLink) {
  ASSERT_TRUE(SlowLink());
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", "1000");
  ScriptPeer viewer;
  Connect(viewer);
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
  viewer.Run([](TestPeer& v) { v.WaitClosedByHost(60000); });
  const std::string big(8u << 20, 'x');
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(VxSendCmdA("Held", big.c_str()), VX_E_COMMUNICATION_BROKEN);
  const int ms = MsSince(start);
  Figure("8 MB command, time-out 1000 ms, returned after", ms, "ms");
  EXPECT_LE(ms, 2000);
  EXPECT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
}

// The link stalls for less than the keep-alive window: first while nothing
// is sent (the probes go unanswered for a while), then while the viewer's
// calls flood the slow link, the host sends commands and its handler is
// held. The connection survives, each command gets its own answer, the
// calls held stay within the documented 64 MiB, and each call reaches the
// handler once, in order, once it is free again.
TEST_F(Link, AStallAndAFloodOfCallsAcrossASlowLink) {
  static std::atomic<bool> open;  // outlives the test: the handler may still wait at its end
  open = false;
  SetCallBehaviour([](const char*, const char*, CallAnswer*) { WaitUntil([] { return open.load(); }, 60000); });
  ASSERT_EQ(Connect(LogCall, LogBroken), 0);
  ASSERT_TRUE(Loopback(false));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(Loopback(true) && SlowLink());
  constexpr int kCalls = 2000;  // 2 MB, about as fast as the link takes them
  const std::string padding(1000, 'p');
  const size_t heapBefore = HeapInUse();
  std::atomic<bool> flooded{false};
  std::thread flood([&] {
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_TRUE(peer.SendFrame("EXE F(" + std::to_string(i) + padding + ")\n"));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    flooded = true;
  });
  std::thread stall([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(Loopback(false));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(Loopback(true));
  });
  std::vector<std::string> commands;
  int slowestMs = 0;
  for (int i = 0; !flooded || i < 20; ++i) {
    commands.push_back("EXE Cmd(" + std::to_string(i) + ")\n");
    const Clock::time_point sent = Clock::now();
    const int rc = VxSendCmdA("Cmd", std::to_string(i).c_str());
    slowestMs = std::max(slowestMs, MsSince(sent));
    EXPECT_EQ(std::to_string(rc) + " " + LastResponseText(), "0 ok:" + commands.back());
  }
  flood.join();
  stall.join();
  EXPECT_EQ(VxSendCmdA("Last", ""), 0) << "answered behind every call: all are held now";
  commands.push_back("EXE Last()\n");
  const size_t held = std::max(HeapInUse(), heapBefore) - heapBefore;
  Figure("slowest of " + std::to_string(commands.size()) + " commands across a 2 s stall", slowestMs, "ms");
  Figure("heap growth with 2000 calls of 1 kB held", held / 1048576.0, "MiB");
  EXPECT_LT(held, (64u << 20) + (8u << 20));
  open = true;
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == kCalls; }, 30000));
  const std::vector<std::string> seen = SeenCalls();
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(seen[i], "F|" + std::to_string(i) + padding);
  // What the viewer got: the commands in order, one answer per call.
  std::vector<std::string> got = Received(commands.size() + kCalls);
  std::string m;
  EXPECT_FALSE(peer.NextMessage(&m, 300)) << "more than was sent: " << m;
  EXPECT_EQ(std::count(got.begin(), got.end(), "RET 0,2,OK"), kCalls);
  got.erase(std::remove(got.begin(), got.end(), "RET 0,2,OK"), got.end());
  EXPECT_EQ(got, commands);
  EXPECT_EQ(Log().broken, 0);
}

}  // namespace
}  // namespace vxtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) vxtest::g_long = vxtest::g_long || std::strcmp(argv[i], "--long") == 0;
  return RUN_ALL_TESTS();
}
