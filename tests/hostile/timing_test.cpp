// A viewer that leaves at the worst moment, answers out of turn, never answers,
// or floods the host with calls.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "host_fixture.h"

#if defined(__GLIBC__)
#include <pthread.h>
#endif

namespace vxtest {
namespace {

// A gate a handler waits at until the test opens it (bounded).
std::atomic<bool> g_gateOpen{false};

void CloseGate() {
  g_gateOpen = false;
  SetCallBehaviour([](const char*, const char*, CallAnswer*) { WaitUntil([] { return g_gateOpen.load(); }, 20000); });
}

void Leave(TestPeer& v, bool reset) { reset ? v.Reset() : v.Close(); }

#if defined(__GLIBC__)
// An interpreter that shuts down ends a thread running its code with a
// forced unwind: here the dispatcher, inside the handler. The unwind passes
// and the connection ends with it, without a BrokenHandler (its thread is
// gone).
TEST_F(Hostile, AHandlerWhoseThreadIsEndedByAForcedUnwind) {
  SetCallBehaviour([](const char*, const char*, CallAnswer*) { pthread_exit(nullptr); });
  ScriptPeer viewer;
  Connect(viewer);
  viewer.Run([](TestPeer& v) {
    std::string m;
    if (v.NextMessage(&m)) v.SendFrame("EXE Leave()\n");  // the command stays unanswered
    v.WaitClosedByHost(30000);
  });
  EXPECT_EQ(VxSendCmdA("Waits", ""), VX_E_COMMUNICATION_BROKEN);
  viewer.Join();
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 0);
}
#endif

std::atomic<int> g_innerResult{1};
std::string g_innerText;

// The handler sends a command of its own while a host command waits (the
// viewer calls the host from inside it). The viewer answers in the order it
// received the two commands: the first answer is the host command's, the
// second the handler's, and the call's answer tells the inner result.
TEST_F(Hostile, AHandlersCommandWhileAHostCommandWaits) {
  SetCallBehaviour([](const char*, const char*, CallAnswer* answer) {
    g_innerResult = VxSendCmdA("B", "2");
    g_innerText = LastResponseText();
    std::snprintf(answer->text, sizeof answer->text, "inner=%d", g_innerResult.load());
  });
  for (int round = 0; round < 3; ++round) {
    ResetLog();
    g_innerResult = 1;
    ScriptPeer viewer;
    Connect(viewer);
    std::string called;
    viewer.Run([&called](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m) || m != "EXE A(1)\n" || !v.SendFrame("EXE C(1)\n") || !v.NextMessage(&m) ||
          m != "EXE B(2)\n" || !v.SendRaw(RetFrame(0, "a") + RetFrame(0, "b")) || !v.NextMessage(&called)) {
        v.Close();
      }
    });
    EXPECT_EQ(VxSendCmdA("A", "1"), 0);
    const std::string hostText = LastResponseText();
    viewer.Join();
    EXPECT_EQ(hostText + "/" + g_innerText, "a/b");
    EXPECT_EQ(called, "RET 0,7,inner=0");
    EXPECT_EQ(VxDisconnect(), 0);
  }
}

// A viewer that never answers while another host thread disconnects:
// every waiting call ends, its out text null and the id 0 (else 99). The
// viewer may also leave at about that moment: VxDisconnect still returns
// after the BrokenHandler ran, and it ran once.
TEST_F(Hostile, DisconnectFromAnotherThreadEndsEveryWaitingCall) {
  static const VxWChar kWide[] = {'S', 't', 'u', 'c', 'k', 0};
  static char mark;  // an out text the library must set to null
  constexpr int kBroken = VX_E_COMMUNICATION_BROKEN;
  const struct {
    const char* name;
    int (*call)();
    int expected;
  } calls[] = {
      {"SendCmdA", [] { return VxSendCmdA("Stuck", "1"); }, kBroken},
      {"SendCmdW", [] { return VxSendCmdW(kWide, kWide); }, kBroken},
      {"WaitFor", [] { return VxWaitFor(); }, kBroken},
      {"CancelAll", [] { return VxCancelAll(); }, kBroken},
      {"SetLanguage", [] { return VxSetLanguageA("cat"); }, kBroken},
      {"ProductVersion", [] { char* t = &mark; return VxGetRemoteProductVersionA(&t) + (t ? 99 : 0); }, kBroken},
      {"ErrorString", [] { char* t = nullptr; return VxGetErrorStringA("spa", 26, &t) + (t ? 99 : 0); }, kBroken},
      {"ProductId", [] { int32_t id = 55; return VxGetRemoteProductId(&id) + (id == 0 ? 0 : 99); }, 0}};
  std::mt19937 rng(7);
  for (int round = 0; round < 24; ++round) {
    const auto& r = calls[round % 8];
    const int leave = round / 8;  // stays silent, closes, resets
    SCOPED_TRACE(std::string(r.name) + " " + std::to_string(leave));
    ResetLog();
    ScriptPeer viewer;
    Connect(viewer);
    std::atomic<bool> asked{false};
    const auto delay = std::chrono::microseconds(29000 + rng() % 2000);
    viewer.Run([&](TestPeer& v) {
      std::string m;
      asked = v.NextMessage(&m);
      if (leave == 0) {
        v.WaitClosedByHost(30000);
        return;
      }
      std::this_thread::sleep_for(delay);
      Leave(v, leave == 2);
    });
    std::thread other([&asked] {
      WaitUntil([&asked] { return asked.load(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_EQ(VxDisconnect(), 0);
      EXPECT_TRUE(BrokenRanOnce());
    });
    EXPECT_EQ(r.call(), r.expected);
    other.join();
    viewer.Join();
    EXPECT_TRUE(asked);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_TRUE(BrokenRanOnce());
  }
}

constexpr int kFlood = 20000;

std::string FloodOfCalls() {
  std::string burst;
  for (int i = 0; i < kFlood; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  return burst;
}

// Large calls flooded faster than the host takes them (its handler is
// busy, or nobody calls VxRecvCmd) by a viewer that never reads: the
// library holds them up to its bound, then ends the connection. (Floods of
// calls taken in order: the soak and the link suite.)
TEST_F(Hostile, AFloodOfCallsPastTheBound) {
  constexpr size_t kBound = 64u << 20;
  const std::string big = Frame("EXE Big(" + std::string(1900000, 'b') + ")\n");
  for (bool handler : {true, false}) {
    SCOPED_TRACE(handler);
    CallRecord record;
    ResetLog();
    CloseGate();
    ScriptPeer never;
    ASSERT_EQ(VxConnectA("127.0.0.1", never.Listen(), 0, handler ? LogCall : nullptr, LogBroken), 0);
    ASSERT_TRUE(never.Accept());
    std::atomic<int> sent{0};
    never.Run([&](TestPeer& v) {
      v.LimitSendWait(10000);
      for (int i = 0; i < 100 && v.SendRaw(big); ++i) ++sent;
      v.Close();
    });
    EXPECT_EQ(VxSendCmdA("Waits", ""), VX_E_COMMUNICATION_BROKEN);
    never.Join();
    // What got through: the calls held, and what the socket buffers took.
    EXPECT_LT(sent * big.size(), kBound + (48u << 20));
    g_gateOpen = true;
    ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1);
    EXPECT_EQ(Log().calls, handler ? 1 : 0);  // calls still queued went with the connection
    size_t kept = 0;
    while (VxRecvCmd(&record) != 0) ++kept;
    EXPECT_LE(kept * big.size(), kBound);
    EXPECT_TRUE(handler || kept > 0);
  }
}

// Whether this system wakes a thread blocked in a send when another thread
// shuts the socket down, as the library's disconnect does.
bool EndingASocketWakesABlockedSend() {
  namespace plat = vxb::plat;
  ScriptPeer reader;  // never reads
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const plat::Socket sender = plat::TcpSocket();
  bool woken = false;
  if (plat::Connect(sender, loopback, reader.Listen()) == 0 && reader.Accept()) {
    std::atomic<bool> returned{false};
    std::thread blocked([&] {
      const std::string big(64u << 20, 'x');  // more than any socket buffer
      plat::Send(sender, big.data(), static_cast<int>(big.size()));
      returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    plat::ShutdownBoth(sender);
    woken = WaitUntil([&returned] { return returned.load(); }, 5000);
    reader.Close();  // releases the send where nothing else did
    blocked.join();
  }
  plat::CloseSocket(sender);
  return woken;
}

TEST_F(Hostile, AFloodOfCallsFromAViewerThatNeverReads) {
  if (!EndingASocketWakesABlockedSend()) GTEST_SKIP() << "a shut-down socket does not wake a blocked send (Wine)";
  ScriptPeer viewer;
  Connect(viewer);
  // The answers to the calls fill the socket buffers until the sends block.
  ASSERT_TRUE(viewer.SendRaw(FloodOfCalls()));
  // A command larger than any socket buffer gets stuck in its send (or
  // behind the dispatcher's); another host thread disconnects.
  const std::string big(16u << 20, 'a');
  std::atomic<int> disconnected{1};
  std::thread other([&disconnected] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    disconnected = VxDisconnect();
  });
  EXPECT_EQ(VxSendCmdA("Blocked", big.c_str()), VX_E_COMMUNICATION_BROKEN);
  other.join();
  EXPECT_EQ(disconnected, 0);
  EXPECT_TRUE(BrokenRanOnce());
  const std::vector<std::string> seen = SeenCalls();  // calls still queued are dropped
  ASSERT_LE(seen.size(), static_cast<size_t>(kFlood));
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], "N|" + std::to_string(i));
  viewer.Close();
}

}  // namespace
}  // namespace vxtest
