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
// viewer calls the host from inside it). A nesting viewer answers the
// handler's command first: each command gets its own answer, and the call's
// answer tells the inner result. A viewer answering in arrival order may
// cross the two answers, but both complete. A viewer that leaves instead
// ends both with -6, and while the handler still runs the host thread finds
// the link gone and the BrokenHandler waits for the call to end.
TEST_F(Hostile, AHandlersCommandWhileAHostCommandWaits) {
  SetCallBehaviour([](const char*, const char*, CallAnswer* answer) {
    g_innerResult = VxSendCmdA("B", "2");
    g_innerText = LastResponseText();
    WaitUntil([] { return g_gateOpen.load(); }, 20000);
    std::snprintf(answer->text, sizeof answer->text, "inner=%d", g_innerResult.load());
  });
  enum Viewer { kNested, kInOrder, kCloses, kResets };
  for (const Viewer how : {kNested, kNested, kNested, kInOrder, kCloses, kResets}) {
    SCOPED_TRACE(how);
    const bool leaves = how == kCloses || how == kResets;
    ResetLog();
    g_innerResult = 1;
    g_gateOpen = !leaves;
    ScriptPeer viewer;
    Connect(viewer);
    viewer.Run([how, leaves](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m) || m != "EXE A(1)\n" || !v.SendFrame("EXE C(1)\n") || !v.NextMessage(&m) ||
          m != "EXE B(2)\n" || leaves) {
        return Leave(v, how == kResets);
      }
      if (how == kInOrder) {
        v.SendRaw(RetFrame(0, "a") + RetFrame(0, "b"));
      } else if (!v.SendRaw(RetFrame(0, "b")) || !v.NextMessage(&m) || m != "RET 0,7,inner=0" ||
                 !v.SendRaw(RetFrame(0, "a"))) {
        v.Close();
      }
    });
    const int expected = leaves ? VX_E_COMMUNICATION_BROKEN : 0;
    EXPECT_EQ(VxSendCmdA("A", "1"), expected);
    const std::string hostText = LastResponseText();
    viewer.Join();
    if (leaves) {
      ASSERT_TRUE(WaitUntil([] { return g_innerResult.load() != 1; }));
      const int rc = VxSendCmdA("Meanwhile", "");
      EXPECT_TRUE(rc == VX_E_NOT_CONNECTED || rc == VX_E_COMMUNICATION_BROKEN) << rc;
      EXPECT_EQ(Log().broken, 0) << "the BrokenHandler waits for the running call";
      g_gateOpen = true;
      ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
      EXPECT_LT(Log().lastCallEnd, Log().brokenAt);
      EXPECT_EQ(Log().brokenDuringCall, 0);
    }
    ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == 1; }));
    EXPECT_EQ(g_innerResult, expected);
    if (how == kNested) {
      EXPECT_EQ(hostText + "/" + g_innerText, "a/b");
    } else if (how == kInOrder) {
      EXPECT_TRUE(hostText + g_innerText == "ab" || hostText + g_innerText == "ba");
    }
    // The flag is raised just after the BrokenHandler returns; the
    // disconnect waits for that.
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(Log().broken, 1);
  }
}

// A host command still waits on a connection that is being replaced
// (VxAccept takes the next viewer, VxConnectA follows a lost one): it
// returns -6, never an answer of the new connection, whose first answer
// goes to its own first command.
TEST_F(Hostile, AReconnectWhileACommandWaits) {
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    const bool server = round % 2 == 0;
    ScriptPeer old;
    ScriptPeer next;
    if (server) {
      ListenAsServer();
      Attach(old);
    } else {
      Connect(old);
    }
    std::atomic<int> waited{1};
    std::thread host([&waited] { waited = VxSendCmdA("Old", ""); });
    std::string m;
    EXPECT_TRUE(old.NextMessage(&m));  // the command waits now
    if (server) {
      Attach(next);
    } else {
      old.Reset();
      const uint16_t p = next.Listen();
      EXPECT_TRUE(WaitUntil([p] { return VxConnectA("127.0.0.1", p, 0, LogCall, LogBroken) == 0; }));
      EXPECT_TRUE(next.Accept());
    }
    next.Run([](TestPeer& v) {
      std::string first;
      if (v.NextMessage(&first)) v.SendRaw(RetFrame(0, "new:" + first));
      if (!v.WaitClosedByHost(20000)) v.Close();  // a command left waiting ends
    });
    EXPECT_EQ(VxSendCmdA("New", ""), 0);
    EXPECT_EQ(LastResponseText(), "new:EXE New()\n");
    host.join();
    EXPECT_EQ(waited, VX_E_COMMUNICATION_BROKEN);
    EXPECT_EQ(VxDisconnect(), 0);
    next.Join();
  }
}

// VXBRIDGE_COMMAND_TIMEOUT_MS unset, 0 or not a number: a command waits as
// long as it takes (a limit of 300 ms ends it, in AViewerThatStopsMidFrame).
TEST_F(Hostile, NoCommandTimeOut) {
  for (const char* value : {static_cast<const char*>(nullptr), "0", "25x"}) {
    SCOPED_TRACE(value == nullptr ? "unset" : value);
    ResetLog();
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", value);
    ScriptPeer viewer;
    Connect(viewer);
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
    std::atomic<int> rc{1};
    std::string text = "<none>";
    std::thread host([&] {
      rc = VxSendCmdA("Slow", "");
      text = LastResponseText();
    });
    std::string m;
    EXPECT_TRUE(viewer.NextMessage(&m));
    // Twice that limit: nothing to wait for but time.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(rc, 1) << "still waiting";
    viewer.SendRaw(RetFrame(0, "late"));
    host.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(text, "late");
    EXPECT_EQ(Log().broken, 0);
    EXPECT_EQ(VxDisconnect(), 0);
  }
}

// Answers the host never asked for pile up for the commands to come, but
// not without limit: past it the oldest are dropped, the order of the rest
// kept. The limit counts blocks, so tiny answers cannot pile up either.
TEST_F(Hostile, UnaskedAnswersAreKeptInOrderWithinALimit) {
  for (const auto& flood : {std::pair<int, size_t>{40, 1000000}, {6000, 3}}) {
    SCOPED_TRACE(flood.first);
    ResetLog();
    ScriptPeer viewer;
    Connect(viewer);
    viewer.Run([flood](TestPeer& v) {
      std::string burst;
      for (int n = 0; n < flood.first; ++n) {
        std::string text = "#" + std::to_string(n) + ";";
        text.resize(std::max(flood.second, text.size()), 'u');
        burst += RetFrame(n % 3, text);
      }
      v.SendRaw(burst + Frame("EXE Mark()\n"));
      std::string m;
      for (int i = 0; i < flood.first + 10 && v.NextMessage(&m); ++i) {
        if (m.compare(0, 4, "RET ") != 0) v.SendRaw(RetFrame(7, "own"));
      }
    });
    // Once the call behind them arrived, every unasked answer has been read.
    ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == 1; }, 60000));
    int previous = -1;
    std::string text;
    for (int i = 0; i <= flood.first; ++i) {
      const int rc = VxSendCmdA("Take", "");
      text = LastResponseText();
      if (text[0] != '#') {
        EXPECT_EQ(rc, 7);
        break;
      }
      const int n = std::atoi(text.c_str() + 1);
      ASSERT_GT(n, previous);
      EXPECT_EQ(rc, n % 3);
      EXPECT_TRUE(i != 0 || n > 0) << "the oldest are dropped";
      previous = n;
    }
    EXPECT_EQ(previous, flood.first - 1);
    EXPECT_EQ(text, "own");
    EXPECT_EQ(VxDisconnect(), 0);
    viewer.Join();
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
      EXPECT_EQ(Log().broken, 1);
    });
    EXPECT_EQ(r.call(), r.expected);
    other.join();
    viewer.Join();
    EXPECT_TRUE(asked);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1);
  }
}

constexpr int kFlood = 20000;

std::string FloodOfCalls() {
  std::string burst;
  for (int i = 0; i < kFlood; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  return burst;
}

// A flood of calls while a command waits: every call in order, to the
// handler or (without one) for VxRecvCmd, each answered exactly once, and
// the command's answer behind them still found. Then large calls flooded
// faster than the host takes them (its handler is busy, or nobody calls
// VxRecvCmd) by a viewer that never reads: the library holds them up to its
// bound, then ends the connection.
TEST_F(Hostile, AFloodOfCalls) {
  const std::string burst = FloodOfCalls();
  constexpr size_t kBound = 64u << 20;
  const std::string big = Frame("EXE Big(" + std::string(1900000, 'b') + ")\n");
  for (bool handler : {true, false}) {
    SCOPED_TRACE(handler);
    ResetLog();
    SetCallBehaviour(nullptr);
    ScriptPeer viewer;
    ASSERT_EQ(VxConnectA("127.0.0.1", viewer.Listen(), 0, handler ? LogCall : nullptr, LogBroken), 0);
    ASSERT_TRUE(viewer.Accept());
    int answersToCalls = 0;
    viewer.Run([&](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m)) return;
      v.SendRaw(burst + RetFrame(0, "after the flood"));
      for (int i = 0; i < kFlood && v.NextMessage(&m, 60000) && m == "RET 0,2,OK"; ++i) ++answersToCalls;
    });
    EXPECT_EQ(VxSendCmdA("Busy", ""), 0);
    EXPECT_EQ(LastResponseText(), "after the flood");
    viewer.Join();
    EXPECT_EQ(answersToCalls, kFlood);
    CallRecord record;
    if (handler) {
      EXPECT_EQ(Log().calls, kFlood);
      const std::vector<std::string> seen = SeenCalls();
      for (int i = 0; i < kFlood; ++i) ASSERT_EQ(seen[i], "N|" + std::to_string(i));
    } else {
      // A call is answered before it is kept, so the last may still be on
      // its way to the list when the viewer has seen every answer.
      for (int i = 0; i < kFlood; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&record) != 0; })) << i;
        ASSERT_EQ(std::atoi(record.args), i);
      }
      EXPECT_EQ(VxRecvCmd(&record), 0);
    }
    EXPECT_EQ(Log().broken, 0);
    EXPECT_EQ(VxDisconnect(), 0);

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
  EXPECT_EQ(Log().broken, 1);
  const std::vector<std::string> seen = SeenCalls();  // calls still queued are dropped
  ASSERT_LE(seen.size(), static_cast<size_t>(kFlood));
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], "N|" + std::to_string(i));
  viewer.Close();
}

}  // namespace
}  // namespace vxtest
