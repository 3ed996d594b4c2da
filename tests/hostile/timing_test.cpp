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

// A gate a handler waits at until the test opens it (bounded, generously:
// an emulated machine may take a minute for what takes a second here).
std::atomic<bool> g_gateOpen{false};

void CloseGate() {
  g_gateOpen = false;
  SetCallBehaviour([](const char*, const char*, CallAnswer*) { WaitUntil([] { return g_gateOpen.load(); }, 120000); });
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

// Far more than the bound passes through one call after another: a call
// answered by the handler, or taken by the host, no longer counts.
TEST_F(Hostile, FarMoreCallsThanTheBoundPassOneAfterAnother) {
  constexpr int kCalls = 80;  // of 1 MiB each: 80 MiB, past the 64 MiB bound
  const std::string big = Frame("EXE Big(" + std::string(1u << 20, 'b') + ")\n");
  for (bool handler : {true, false}) {
    ScriptPeer viewer;
    ASSERT_EQ(VxConnectA("127.0.0.1", viewer.Listen(), 0, handler ? LogCall : nullptr, nullptr), 0);
    ASSERT_TRUE(viewer.Accept());
    std::atomic<int> answered{0};
    viewer.Run([&](TestPeer& v) {
      for (std::string m; answered < kCalls && v.SendRaw(big) && v.NextMessage(&m, 20000) && m == "RET 0,2,OK";) ++answered;
    });
    CallRecord record;
    for (int taken = 0; !handler && taken < kCalls && WaitUntil([&] { return VxRecvCmd(&record) != 0; }, 20000);) ++taken;
    viewer.Join();
    EXPECT_EQ(answered, kCalls) << handler;
    EXPECT_EQ(VxDisconnect(), 0);
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

// ---- Each thread on its own time ------------------------------------------

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Large messages of several threads at once (commands; in server mode the
// host's answers) to a viewer that never reads. With a command time-out,
// every call returns -6 within its own time-out (plus a margin for a slow
// machine), once the first large message is torn; without one, a
// disconnect from another thread ends them all. Either way nothing hangs,
// and the library serves the next connection.
TEST_F(Hostile, LargeMessagesOfSeveralThreadsToAViewerThatNeverReads) {
  const bool sendsWake = EndingASocketWakesABlockedSend();
  const struct {
    int threads;
    bool server;
    int timeoutMs;     // 0: none, a disconnect ends the wait
    bool readsFirst;   // the viewer reads the first message, then stops
    int trials;        // which thread writes first and whose time ends first vary
  } rows[] = {{2, true, 400, false, 1}, {2, true, 400, true, 6}, {8, false, 400, false, 1},
              {8, false, 400, true, 2}, {2, false, 0, false, 1}, {8, true, 0, true, 1}};
  for (const auto& r : rows) {
    for (int trial = 0; trial < r.trials; ++trial) {
      SCOPED_TRACE(std::to_string(r.threads) + (r.server ? " server " : " client ") + std::to_string(r.timeoutMs) +
                   (r.readsFirst ? " reads one" : "") + " #" + std::to_string(trial));
      if (r.timeoutMs == 0 && !sendsWake) continue;  // Wine: nothing wakes the blocked send
      ResetLog();
      SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", r.timeoutMs > 0 ? std::to_string(r.timeoutMs).c_str() : nullptr);
      ScriptPeer viewer;
      if (r.server) {
        ListenAsServer();
        Attach(viewer);
        std::string calls;
        for (int i = 0; i < r.threads; ++i) calls += Frame("EXE Ask(" + std::to_string(i) + ")\n");
        ASSERT_TRUE(viewer.SendRaw(calls));
        CallRecord record;
        for (int i = 0; i < r.threads; ++i) ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
      } else {
        Connect(viewer);
      }
      SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
      if (r.readsFirst) {
        viewer.Run([](TestPeer& v) {
          std::string m;
          v.NextMessage(&m, 10000);
        });
      }
      const std::string big(12u << 20, 'b');
      std::vector<int> rc(r.threads, 1);
      std::vector<int64_t> took(r.threads, 0);
      std::vector<std::thread> senders;
      for (int i = 0; i < r.threads; ++i) {
        senders.emplace_back([&, i] {
          const auto start = Clock::now();
          rc[i] = r.server ? VxSendRetCmd(0, big.data(), static_cast<int32_t>(big.size())) : VxSendCmdA("Big", big.c_str());
          took[i] = MsSince(start);
        });
      }
      if (r.timeoutMs == 0) {
        vxb::plat::SleepMs(300);
        EXPECT_EQ(VxDisconnect(), 0);
      }
      for (std::thread& t : senders) t.join();
      viewer.Join();
      int answered = 0;  // a server's answer the viewer read whole
      for (int i = 0; i < r.threads; ++i) {
        answered += rc[i] == 0;
        EXPECT_TRUE(rc[i] == VX_E_COMMUNICATION_BROKEN || (rc[i] == 0 && r.server && r.readsFirst)) << i << ": " << rc[i];
        EXPECT_LT(took[i], (r.timeoutMs > 0 ? r.timeoutMs : 300) + 5000) << i;
      }
      EXPECT_LE(answered, 1);
      EXPECT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
      EXPECT_EQ(VxDisconnect(), 0);
      if (r.server) {
        ScriptPeer next;
        Attach(next);
        std::string m;  // the host owes the next viewer nothing: an answer is sent as the host asks
        EXPECT_EQ(VxSendAck(), 0);
        EXPECT_TRUE(next.NextMessage(&m) && m == "RET 0,6,OK_ACK") << m;
        EXPECT_EQ(VxDisconnect(), 0);
      }
      viewer.Close();
      EXPECT_EQ(VxConnectA("0.0.0.0", 0, 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);  // drops the listener
    }
  }
}

// A thread whose message has left and whose answer has come returns, even
// while the message of the thread behind it cannot leave: nobody writes
// another thread's message. The viewer reads one message at a time and
// reads on only once the thread whose message it answered has returned.
TEST_F(Hostile, AThreadWithItsAnswerIsNotHeldByTheMessageBehindIt) {
  constexpr int kThreads = 4;
  ScriptPeer viewer;
  Connect(viewer);
  std::atomic<bool> returned[kThreads] = {};
  std::atomic<int> heldUp{0};
  viewer.Run([&](TestPeer& v) {
    for (int i = 0; i < kThreads; ++i) {
      std::string m;
      if (!v.NextMessage(&m, 20000)) return;
      const int k = m.size() > 8 ? (m[8] - '0') % kThreads : 0;  // "EXE Big(k..."
      v.SendRaw(RetFrame(0, std::to_string(k)));
      if (!WaitUntil([&] { return returned[k].load(); }, 10000)) ++heldUp;
    }
  });
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int k = 0; k < kThreads; ++k) {
    senders.emplace_back([&, k] {
      const std::string arg = std::to_string(k) + std::string(16u << 20, 'b');
      wrong += VxSendCmdA("Big", arg.c_str()) != 0 || LastResponseText() != std::to_string(k);
      returned[k] = true;
    });
  }
  for (std::thread& t : senders) t.join();
  viewer.Join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(heldUp, 0) << "a thread that had its answer was held writing another's message";
  EXPECT_EQ(VxIsConnectionBroken(), 0);
}

// With a command time-out, a large message is written under its own
// thread's deadline, not under that of the thread before it: A's message
// leaves slowly, B's is queued behind it, the viewer answers A, then reads
// B slowly, to its end past A's deadline but within B's. Both get their
// answers, and the connection stays up.
TEST_F(Hostile, ASlowViewerTakesEachMessageWithinItsOwnTime) {
  constexpr int kTimeoutMs = 4000;  // A's deadline at 4 s, B's at 5 s
  constexpr size_t kBig = 16u << 20;
  // The timeline below needs a machine that sends such a message, to a
  // viewer that reads as fast as it can, well within a second (an emulated
  // one does not).
  {
    TestPeer fast;
    fast.SetResponder([](const std::string&) { return RetFrame(0, "f"); });
    ASSERT_EQ(VxConnectA("127.0.0.1", fast.Listen(), 0, nullptr, nullptr), 0);
    const auto before = Clock::now();
    EXPECT_EQ(VxSendCmdA("Fast", std::string(kBig, 'f').c_str()), 0);
    const int64_t took = MsSince(before);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(VxIsConnectionBroken(), 1);  // that connection's end, taken
    if (took > 300) GTEST_SKIP() << "a " << kBig << "-byte command took " << took << " ms here";
  }
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str());
  ScriptPeer viewer;
  Connect(viewer);
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
  const auto start = Clock::now();
  viewer.Run([&](TestPeer& v) {
    std::string m;
    v.PaceReading(kBig / 1500);  // A whole at about 1.5 s
    if (!v.NextMessage(&m, 10000)) return;
    v.SendRaw(RetFrame(0, "A"));
    v.PaceReading(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000 - MsSince(start)));
    v.PaceReading(kBig / 1500);  // B whole at about 4.5 s
    if (v.NextMessage(&m, 10000)) v.SendRaw(RetFrame(0, "B"));
  });
  int a = 1, b = 1;
  std::string aText, bText;
  std::thread second([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    b = VxSendCmdA("B", std::string(kBig, 'b').c_str());
    bText = LastResponseText();
  });
  a = VxSendCmdA("A", std::string(kBig, 'a').c_str());
  aText = LastResponseText();
  const int64_t aTook = MsSince(start);
  second.join();
  viewer.Join();
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(aText + bText, "AB");
  EXPECT_LT(aTook, 3000) << "A was held writing B's message";
  EXPECT_EQ(VxIsConnectionBroken(), 0);
}

// A handler's large command that cannot leave (the viewer reads nothing, no
// time-out) holds the handler; the host's disconnect gives that send the
// grace, then closes: it returns, the command failed and the BrokenHandler
// ran, instead of waiting for ever for a handler that waits for the viewer.
TEST_F(Hostile, ADisconnectWhileAHandlersCommandCannotLeave) {
  if (!EndingASocketWakesABlockedSend()) GTEST_SKIP() << "a shut-down socket does not wake a blocked send (Wine)";
  static std::atomic<int> inner;
  inner = 1;
  SetCallBehaviour([](const char*, const char*, CallAnswer*) {
    inner = VxSendCmdA("Big", std::string(64u << 20, 'b').c_str());
  });
  ScriptPeer viewer;  // reads nothing
  Connect(viewer);
  ASSERT_TRUE(viewer.SendFrame("EXE Go()\n"));
  ASSERT_TRUE(WaitUntil([] { return Log().inCall.load(); }));
  vxb::plat::SleepMs(200);  // the handler's send is stuck by now
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(inner, VX_E_COMMUNICATION_BROKEN);
  EXPECT_EQ(Log().calls, 1);
  EXPECT_EQ(Log().broken, 1);
  viewer.Close();
}

}  // namespace
}  // namespace vxtest
