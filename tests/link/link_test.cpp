// What a real network does to a connection: the viewer's side vanishes
// without a word, the link stalls and comes back, the link is slow. Each
// case runs in a network namespace of its own (the test thread moves into a
// new one; every thread and socket it makes afterwards is there), where
// taking the loopback down makes every packet vanish and tc makes it slow.
// Nothing leaves the namespace. Needs root (skipped otherwise) and ip/tc.
//
// --long also runs the case with the default keep-alive times (a minute).
#include <sched.h>

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

// Runs ip(8) or tc(8) on the calling thread's namespace.
bool Net(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
bool Loopback(bool up) { return Net(std::string("ip link set lo ") + (up ? "up" : "down")); }

// A link of a few Mbit/s with the packets of a real one.
bool SlowLink() {
  return Net("ip link set lo mtu 1500") && Net("tc qdisc add dev lo root tbf rate 8mbit burst 16kb latency 500ms");
}
constexpr double kSlowBytesPerMs = 8e6 / 8 / 1000;

// Printed for the docs and the closing note.
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

  enum class While { kCommandWaits, kIdle, kPetitionHeld };
  void Vanish(While when, int windowMs, int lateMs = 1000);
};

// The viewer's side vanishes (nothing more arrives, no FIN, no RST): only
// keep-alive can tell. The connection ends within the keep-alive window
// and lateMs, it ends once, nothing of it is left behind, and the next
// connection works.
void Link::Vanish(While when, int windowMs, int lateMs) {
  const bool server = when == While::kPetitionHeld;
  if (server) ListenAsServer();
  const vxsoak::ProcessFigures before = vxsoak::MeasureProcess();
  std::string m;
  {
    ScriptPeer viewer;
    if (server) {
      Attach(viewer);
      ASSERT_TRUE(viewer.SendFrame("EXE Ask(1)\n"));
      ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
      EXPECT_EQ(Petition(), "EXE Ask(1)\n");
    } else {
      Connect(viewer);
    }
    std::atomic<int> rc{1};
    std::thread host;
    if (when != While::kIdle) {
      host = std::thread([&rc] { rc = VxSendCmdA("Wait", ""); });
      EXPECT_TRUE(viewer.NextMessage(&m));
    }
    // The acknowledgement of the last segment leaves within the delayed-ACK
    // time (200 ms at most): afterwards nothing is in flight.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool waits = host.joinable();
    const std::string what = server ? "server, command waits" : waits ? "command waits" : "idle";
    const Clock::time_point vanished = Clock::now();
    EXPECT_TRUE(Loopback(false));
    const bool ended = WaitUntil([&] { return waits ? rc.load() != 1 : Log().broken.load() > 0; }, windowMs + 10000);
    const int noticedMs = MsSince(vanished);
    EXPECT_TRUE(ended);
    if (!ended) VxDisconnect();  // releases the command
    if (waits) host.join();
    EXPECT_TRUE(!waits || rc == VX_E_COMMUNICATION_BROKEN) << rc;
    Figure("vanished to noticed (" + what + ", window " + std::to_string(windowMs) + " ms)", noticedMs, "ms");
    EXPECT_GT(noticedMs, 1000) << "before the first probe was due";
    EXPECT_LE(noticedMs, windowMs + lateMs);
    // The flag goes up once the end has been handled, a moment after -6.
    EXPECT_TRUE(WaitUntil([] { return VxIsConnectionBroken() == 1; }));
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    if (server) {
      EXPECT_EQ(VxAvailableBytes(), -1);
      EXPECT_EQ(VxSendAck(), VX_E_NOT_CONNECTED);
    }
    EXPECT_EQ(VxSendCmdA("Late", ""), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, server ? 0 : 1);
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    ASSERT_TRUE(Loopback(true));
  }
  // Descriptors and threads come back to what they were (the library's
  // threads may finish a little after the disconnect).
  vxsoak::ProcessFigures after;
  EXPECT_TRUE(WaitUntil(
      [&] {
        after = vxsoak::MeasureProcess();
        return after.descriptors == before.descriptors && after.threads == before.threads;
      },
      5000))
      << "descriptors " << before.descriptors << " -> " << after.descriptors << ", threads " << before.threads
      << " -> " << after.threads;
  if (server) {
    ScriptPeer next;
    Attach(next);
    ASSERT_TRUE(next.SendFrame("EXE Ask(2)\n"));
    ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(Petition(), "EXE Ask(2)\n");
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

TEST_F(Link, VanishWithTheDefaultTimes) {
  if (!g_long) GTEST_SKIP() << "the default keep-alive times take a minute: run with --long";
  SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
  // The kernel lets a timer of several seconds fire up to an eighth late.
  Vanish(While::kCommandWaits, kDefaultWindowMs, kDefaultWindowMs / 8 + 1000);
}

// Keep-alive watches a quiet connection only: a command sent after the
// viewer vanished stays unacknowledged, and TCP retransmits it for many
// minutes. The command time-out ends it.
TEST_F(Link, ACommandSentIntoAVanishedLinkEndsAtTheCommandTimeOut) {
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", "1500");
  ScriptPeer viewer;
  Connect(viewer);
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
  ASSERT_TRUE(Loopback(false));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(VxSendCmdA("Into", "void"), VX_E_COMMUNICATION_BROKEN);
  const int ms = MsSince(start);
  Figure("command sent into a vanished link, time-out 1500 ms, returned after", ms, "ms");
  EXPECT_GE(ms, 1500);
  EXPECT_LE(ms, 2500);
  EXPECT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
}

// The link stalls for less than the keep-alive window, first while nothing
// is sent (the probes go unanswered for a while), then while commands and
// the viewer's calls cross: the connection survives, each command gets its
// own answer, and each call and answer arrives once, in order.
TEST_F(Link, AStallShorterThanTheWindowIsSurvived) {
  ASSERT_EQ(Connect(LogCall, LogBroken), 0);
  ASSERT_TRUE(Loopback(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  ASSERT_TRUE(Loopback(true));
  EXPECT_EQ(VxSendCmdA("After", "idle"), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE After(idle)\n");

  constexpr int kCommands = 40;
  constexpr int kCalls = 40;
  std::vector<std::string> answers(kCommands);
  int slowestMs = 0;
  std::thread host([&] {
    for (int i = 0; i < kCommands; ++i) {
      const Clock::time_point sent = Clock::now();
      const int rc = VxSendCmdA("Cmd", std::to_string(i).c_str());
      answers[i] = std::to_string(rc) + " " + LastResponseText();
      slowestMs = std::max(slowestMs, MsSince(sent));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_TRUE((i != 10 || Loopback(false)) && (i != 30 || Loopback(true)));
    EXPECT_TRUE(peer.SendFrame("EXE V(" + std::to_string(i) + ")\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  host.join();
  Figure("slowest command across a 2 s stall", slowestMs, "ms");
  for (int i = 0; i < kCommands; ++i) EXPECT_EQ(answers[i], "0 ok:EXE Cmd(" + std::to_string(i) + ")\n");
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == kCalls; }));
  const std::vector<std::string> seen = SeenCalls();
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[i], "V|" + std::to_string(i));
  // What the viewer got: the commands in order, one answer per call.
  std::vector<std::string> received = Received(1 + kCommands + kCalls);
  std::string m;
  EXPECT_FALSE(peer.NextMessage(&m, 300)) << "more than was sent: " << m;
  int command = 0;
  int callAnswers = 0;
  for (size_t i = 1; i < received.size(); ++i) {
    if (received[i] == "RET 0,2,OK") {
      ++callAnswers;
    } else {
      EXPECT_EQ(received[i], "EXE Cmd(" + std::to_string(command++) + ")\n");
    }
  }
  EXPECT_EQ(command, kCommands);
  EXPECT_EQ(callAnswers, kCalls);
  EXPECT_EQ(Log().broken, 0);
  EXPECT_EQ(VxIsConnectionBroken(), 0);
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

// A flood of the viewer's calls across the slow link while the host sends
// commands and its handler is held: each command still gets its own
// answer, the calls held stay within the documented 64 MiB, and each call
// reaches the handler once, in order, when it is free again.
TEST_F(Link, AFloodOfCallsAcrossASlowLink) {
  ASSERT_TRUE(SlowLink());
  std::atomic<bool> open{false};
  SetCallBehaviour([&open](const char*, const char*, CallAnswer*) { WaitUntil([&open] { return open.load(); }, 60000); });
  ASSERT_EQ(Connect(LogCall, LogBroken), 0);
  const size_t heapBefore = HeapInUse();
  constexpr int kCalls = 2000;
  constexpr int kCommands = 30;
  const std::string padding(1000, 'p');
  std::thread flood([&] {
    for (int i = 0; i < kCalls; ++i) peer.SendFrame("EXE F(" + std::to_string(i) + padding + ")\n");
  });
  std::atomic<bool> flooding{true};
  size_t heapPeak = 0;
  std::thread sampler([&] {
    while (flooding) {
      heapPeak = std::max(heapPeak, HeapInUse());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int i = 0; i < kCommands; ++i) {
    EXPECT_EQ(VxSendCmdA("Cmd", std::to_string(i).c_str()), 0);
    EXPECT_EQ(LastResponseText(), "ok:EXE Cmd(" + std::to_string(i) + ")\n");
  }
  flood.join();
  EXPECT_EQ(VxSendCmdA("Last", ""), 0) << "its answer comes after every call";
  flooding = false;
  sampler.join();
  Figure("heap growth while 2000 calls of 1 kB were held", (heapPeak - heapBefore) / 1048576.0, "MiB");
  EXPECT_LT(heapPeak - heapBefore, (64u << 20) + (8u << 20));
  open = true;
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == kCalls; }, 30000));
  const std::vector<std::string> seen = SeenCalls();
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(seen[i], "F|" + std::to_string(i) + padding);
  EXPECT_EQ(Log().broken, 0);
  EXPECT_EQ(VxDisconnect(), 0);
}

}  // namespace
}  // namespace vxtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) vxtest::g_long = vxtest::g_long || std::strcmp(argv[i], "--long") == 0;
  return RUN_ALL_TESTS();
}
