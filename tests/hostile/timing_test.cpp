// A viewer that leaves at the worst moment, answers twice, never answers,
// or floods the host with calls.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "hostile_fixture.h"
#include "test_support.h"
#include "test_peer.h"

#if defined(__GLIBC__)
#include <pthread.h>
#endif

namespace vxhostile {
namespace {

using vxtest::Frame;
using vxtest::RetFrame;

// A gate a handler waits at until the test opens it (bounded).
std::atomic<bool> g_gateOpen{false};
std::atomic<bool> g_inHandler{false};

void WaitAtGate() {
  g_inHandler = true;
  WaitFor([] { return g_gateOpen.load(); }, 20000);
}

TEST_F(Hostile, ViewerLeavesWhileACallbackRuns) {
  for (bool reset : {false, true}) {
    ResetLog();
    g_gateOpen = false;
    g_inHandler = false;
    SetCallBehaviour([](const char*, const char*, CallAnswer* answer) {
      WaitAtGate();
      std::strcpy(answer->text, "late");
    });
    RawViewer viewer;
    Connect(viewer);
    ASSERT_TRUE(viewer.Send(Frame("EXE Slow()\n")));
    ASSERT_TRUE(WaitFor([] { return g_inHandler.load(); }));
    if (reset) {
      viewer.Reset();
    } else {
      viewer.Close();
    }
    // The host thread is free meanwhile: a command finds the link gone,
    // whether the reader has seen the end yet or not.
    const int rc = VxSendCmdA("Meanwhile", "");
    EXPECT_TRUE(rc == VX_E_NOT_CONNECTED || rc == VX_E_COMMUNICATION_BROKEN) << rc;
    EXPECT_EQ(Log().broken, 0) << "the BrokenHandler waits for the running call";
    g_gateOpen = true;
    ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
    EXPECT_EQ(Log().calls, 1);
    EXPECT_LT(Log().lastCallEnd, Log().brokenAt);
    EXPECT_EQ(Log().brokenDuringCall, 0);
    // The flag is raised just after the BrokenHandler returns; the
    // disconnect waits for that.
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(Log().broken, 1);
    SetCallBehaviour(nullptr);
  }
}

#if defined(__GLIBC__)
// An interpreter that shuts down ends a thread running its code with a
// forced unwind (pthread_exit): here the dispatcher, inside the handler.
// The library lets the unwind pass, and the connection ends with it.
TEST_F(Hostile, AHandlerWhoseThreadIsEndedByAForcedUnwind) {
  SetCallBehaviour([](const char*, const char*, CallAnswer*) { pthread_exit(nullptr); });
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([](RawViewer& v) {
    std::string m;
    if (v.ReadMessage(&m)) v.Send(Frame("EXE Leave()\n"));  // the command stays unanswered
    v.WaitHostClosed(30000);
  });
  EXPECT_EQ(VxSendCmdA("Waits", ""), VX_E_COMMUNICATION_BROKEN);
  viewer.Join();
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxDisconnect(), 0);
  // The BrokenHandler would have run on the thread that is gone.
  EXPECT_EQ(Log().broken, 0);
}  // The fixture's closing round trip connects again.
#endif

std::atomic<int> g_innerResult{1};

TEST_F(Hostile, ViewerLeavesWhileTheHandlersOwnCommandWaits) {
  g_innerResult = 1;
  SetCallBehaviour([](const char*, const char*, CallAnswer* answer) {
    g_innerResult = VxSendCmdA("Inner", "");
    std::snprintf(answer->text, sizeof answer->text, "inner=%d", g_innerResult.load());
  });
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([](RawViewer& v) {
    v.Send(Frame("EXE Outer()\n"));
    std::string m;
    if (v.ReadMessage(&m) && m == "EXE Inner()\n") v.Close();  // no answer
  });
  viewer.Join();
  ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(g_innerResult, VX_E_COMMUNICATION_BROKEN);
  EXPECT_EQ(Log().calls, 1);
  EXPECT_LT(Log().lastCallEnd, Log().brokenAt);
}

std::string g_innerText;

// The viewer calls the host from inside a host command, and the handler of
// that call sends a command of its own while the host command waits. A
// nesting viewer answers the handler's command, waits for the handler's
// answer, then answers the host command: each command gets its own answer.
// A viewer that answers in arrival order instead may see the two answers
// go crosswise, but both commands complete.
TEST_F(Hostile, AHandlersCommandWhileAHostCommandWaits) {
  SetCallBehaviour([](const char*, const char*, CallAnswer*) {
    g_innerResult = VxSendCmdA("B", "2");
    g_innerText = LastResponseText();
  });
  for (const bool nested : {true, true, true, false}) {
    g_innerResult = 1;
    RawViewer viewer;
    Connect(viewer);
    viewer.Run([nested](RawViewer& v) {
      std::string m;
      if (!v.ReadMessage(&m) || m != "EXE A(1)\n" || !v.Send(Frame("EXE C(1)\n")) ||
          !v.ReadMessage(&m) || m != "EXE B(2)\n") {
        return v.Close();
      }
      if (nested) {
        // An answer to the handler's call first, or the host gets none.
        if (!v.Send(RetFrame(0, "b")) || !v.ReadMessage(&m) || m != "RET 0,2,OK") return v.Close();
        v.Send(RetFrame(0, "a"));
      } else {
        v.Send(RetFrame(0, "a") + RetFrame(0, "b"));
      }
    });
    EXPECT_EQ(VxSendCmdA("A", "1"), 0);
    const std::string hostText = LastResponseText();
    viewer.Join();
    ASSERT_TRUE(WaitFor([] { return Log().calls.load() > 0; }));
    EXPECT_EQ(g_innerResult, 0);
    if (nested) {
      EXPECT_EQ(hostText, "a");
      EXPECT_EQ(g_innerText, "b");
    } else {
      EXPECT_TRUE(hostText + g_innerText == "ab" || hostText + g_innerText == "ba")
          << hostText << "/" << g_innerText;
    }
    EXPECT_EQ(VxDisconnect(), 0);
    ResetLog();
  }
}

// A host command still waits on a connection that is being replaced
// (VxAccept takes the next viewer, VxConnectA follows a lost one): it
// returns -6, never an answer of the new connection, and the new
// connection's first answer goes to its own first command.
TEST_F(Hostile, AReconnectWhileACommandWaits) {
  for (int round = 0; round < 40; ++round) {
    const bool server = round % 2 == 0;
    RawViewer old;
    RawViewer next;
    uint16_t port = 0;
    if (server) {
      port = vxtest::FreeLoopbackPort();
      ASSERT_EQ(VxConnectAsServer(port, 0), 0);
      ASSERT_TRUE(old.ConnectTo(port));
      ASSERT_TRUE(WaitFor([] { return VxAccept() == 0; }));
    } else {
      Connect(old);
      port = next.Listen();
    }
    std::atomic<int> waited{1};
    std::thread host([&waited] { waited = VxSendCmdA("Old", ""); });
    std::string m;
    EXPECT_TRUE(old.ReadMessage(&m));  // the command waits now
    if (server) {
      EXPECT_TRUE(next.ConnectTo(port));
      EXPECT_TRUE(WaitFor([] { return VxAccept() == 0; }));
    } else {
      old.Reset();
      EXPECT_TRUE(WaitFor([port] {
        return VxConnectA("127.0.0.1", port, 0, LoggingCallHandler, LoggingBrokenHandler) == 0;
      }));
      EXPECT_TRUE(next.Accept());
    }
    next.Run([](RawViewer& v) {
      std::string first;
      if (v.ReadMessage(&first)) v.Send(RetFrame(0, "new:" + first));
      if (!v.WaitHostClosed(20000)) v.Close();  // a command left waiting ends
    });
    const int rc = VxSendCmdA("New", "");
    EXPECT_EQ(rc, 0) << "round " << round;
    EXPECT_EQ(LastResponseText(), rc == 0 ? "new:EXE New()\n" : "") << "round " << round;
    host.join();
    EXPECT_EQ(waited, VX_E_COMMUNICATION_BROKEN) << "round " << round;
    EXPECT_EQ(VxDisconnect(), 0);
    next.Join();
  }
}

// VXBRIDGE_COMMAND_TIMEOUT_MS, read when a connection starts: a command
// without an answer in time returns -6 and the host ends the connection
// (the BrokenHandler runs once); unset, 0 or not a number, a command waits
// as long as it takes.
TEST_F(Hostile, CommandTimeOut) {
  struct Setting {
    const char* value;
    bool limited;
  };
  const Setting settings[] = {{"300", true}, {nullptr, false}, {"0", false}, {"25x", false}};
  for (const Setting& setting : settings) {
    ResetLog();
    vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", setting.value);
    RawViewer viewer;
    Connect(viewer);
    vxtest::SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
    std::atomic<int> rc{1};
    std::string text = "<none>";
    std::thread host([&] {
      rc = VxSendCmdA("Slow", "");
      text = LastResponseText();
    });
    std::string m;
    EXPECT_TRUE(viewer.ReadMessage(&m));
    if (setting.limited) {
      const bool hostClosed = viewer.WaitHostClosed(30000);
      if (!hostClosed) viewer.Close();
      host.join();
      EXPECT_TRUE(hostClosed) << "the host ends the connection";
      EXPECT_EQ(rc, VX_E_COMMUNICATION_BROKEN);
      EXPECT_EQ(text, "");
      EXPECT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      EXPECT_EQ(rc, 1) << (setting.value == nullptr ? "unset" : setting.value) << ": still waiting";
      viewer.Send(RetFrame(0, "late"));
      host.join();
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(text, "late");
      EXPECT_EQ(Log().broken, 0);
    }
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1);
  }
}

TEST_F(Hostile, ViewerLeavesWhileTheHostDisconnects) {
  constexpr int kRounds = 40;
  std::mt19937 rng(7);
  for (int round = 0; round < kRounds; ++round) {
    RawViewer viewer;
    Connect(viewer);
    viewer.Run([](RawViewer& v) {
      std::string m;
      if (v.ReadMessage(&m)) v.Send(RetFrame(0, "pong"));
    });
    ASSERT_EQ(VxSendCmdA("Ping", ""), 0);
    viewer.Join();
    const int delayUs = static_cast<int>(rng() % 2000);
    const bool reset = rng() % 2 == 0;
    std::thread leaver([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      if (reset) {
        viewer.Reset();
      } else {
        viewer.Close();
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    EXPECT_EQ(VxDisconnect(), 0);
    leaver.join();
    // VxDisconnect returns after the BrokenHandler ran, and it ran once.
    EXPECT_EQ(Log().broken, round + 1) << "round " << round;
    EXPECT_EQ(VxIsConnectionBroken(), 1) << "round " << round;
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, round + 1) << "round " << round;
  }
}

// Every command is answered twice: first "first <n>" with code 1, then
// "second <n>" padded to 6000 bytes with code 2, so the second answer needs
// a larger receive buffer than the first.
std::string SecondAnswer(int n) {
  std::string text = "second " + std::to_string(n);
  text.resize(6000, '.');
  return RetFrame(2, text);
}

TEST_F(Hostile, ViewerAnswersTwice) {
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([](RawViewer& v) {
    std::string m;
    for (int n = 1; n <= 100 && v.ReadMessage(&m); ++n) {
      // After the duplicate, a call: once the host's handler has seen it,
      // the reader has read the duplicate too.
      v.Send(RetFrame(1, "first " + std::to_string(n)) + SecondAnswer(n) +
             Frame("EXE Mark(" + std::to_string(n) + ")\n"));
      if (!v.ReadMessage(&m)) return;  // the handler's answer to Mark
    }
  });
  EXPECT_EQ(VxSendCmdA("Cmd", "1"), 1);
  ASSERT_TRUE(WaitFor([] { return Log().calls.load() == 1; }));
  // The duplicate has been read since; the latest answer is still the
  // command's own.
  EXPECT_EQ(LastResponseText().substr(0, 16), "first 1");
  // Answers pair with commands by order alone: the duplicate is taken by
  // the next command, and so on.
  std::string text;
  EXPECT_EQ(VxSendCmdA("Cmd", "2"), 2);
  text = LastResponseText();
  EXPECT_EQ(text.size(), 6000u);
  EXPECT_EQ(text.substr(0, 9), "second 1.");
  EXPECT_EQ(VxSendCmdA("Cmd", "3"), 1);
  EXPECT_EQ(LastResponseText().substr(0, 16), "first 2");
  EXPECT_EQ(VxSendCmdA("Cmd", "4"), 2);
  EXPECT_EQ(LastResponseText().substr(0, 9), "second 2.");
  // Leftover answers of this connection never reach the next one (the
  // closing round trip of the fixture checks that).
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(Log().broken, 1);
}

// Answers the host never asked for pile up for the commands to come, but
// not without limit: past it the oldest are dropped, the order of the rest
// is kept. The limit counts the blocks the answers are held in, so tiny
// answers cannot pile up in great numbers either.
TEST_F(Hostile, UnaskedAnswersAreKeptInOrderWithinALimit) {
  struct Flood {
    int answers;
    size_t size;
  };
  for (const Flood flood : {Flood{40, 1000000}, Flood{6000, 3}}) {
    ResetLog();
    RawViewer viewer;
    Connect(viewer);
    viewer.Run([flood](RawViewer& v) {
      std::string burst;
      for (int n = 0; n < flood.answers; ++n) {
        std::string text = "#" + std::to_string(n) + ";";
        text.resize(std::max(flood.size, text.size()), 'u');
        burst += RetFrame(0, text);
      }
      v.Send(burst + Frame("EXE Mark()\n"));
      std::string m;
      for (int i = 0; i < flood.answers + 10 && v.ReadMessage(&m); ++i) {
        if (m.compare(0, 4, "RET ") != 0) v.Send(RetFrame(7, "own"));
      }
    });
    // Once the call behind them arrived, every unasked answer has been read.
    ASSERT_TRUE(WaitFor([] { return Log().calls.load() == 1; }, 60000));
    int previous = -1;
    int rc;
    for (int i = 0; i <= flood.answers && (rc = VxSendCmdA("Take", "")) == 0; ++i) {
      const std::string text = LastResponseText();
      const int n = std::atoi(text.c_str() + 1);
      ASSERT_GT(n, previous) << text.substr(0, 16);
      previous = n;
      if (i == 0) {
        EXPECT_GT(n, 0) << "a viewer answering unasked cannot grow memory without end";
      }
    }
    EXPECT_EQ(previous, flood.answers - 1);
    // Then the answers to the commands themselves.
    EXPECT_EQ(rc, 7);
    EXPECT_EQ(LastResponseText(), "own");
    EXPECT_EQ(VxDisconnect(), 0);
    viewer.Join();
  }
}

struct Waiting {
  const char* name;
  int (*call)();
  int expected;
};

int CallSendCmdA() { return VxSendCmdA("Stuck", "1"); }
int CallSendCmdW() {
  const VxWChar name[] = {'S', 't', 'u', 'c', 'k', 0};
  const VxWChar args[] = {'2', 0};
  return VxSendCmdW(name, args);
}
int CallWaitFor() { return VxWaitFor(); }
int CallCancelAll() { return VxCancelAll(); }
int CallProductVersion() {
  char* text = reinterpret_cast<char*>(1);
  const int rc = VxGetRemoteProductVersionA(&text);
  EXPECT_EQ(text, nullptr);
  return rc;
}
int CallSetLanguage() { return VxSetLanguageA("cat"); }
int CallErrorString() {
  char* text = nullptr;
  const int rc = VxGetErrorStringA("spa", 26, &text);
  EXPECT_EQ(text, nullptr);
  return rc;
}
int CallProductId() {
  int32_t id = 55;
  const int rc = VxGetRemoteProductId(&id);
  EXPECT_EQ(id, 0);  // documented: 0 when the viewer does not answer
  return rc;
}

class NeverAnswers : public Hostile, public ::testing::WithParamInterface<Waiting> {};

TEST_P(NeverAnswers, DisconnectFromAnotherThreadEndsTheWait) {
  RawViewer viewer;
  Connect(viewer);
  std::atomic<bool> asked{false};
  viewer.Run([&asked](RawViewer& v) {
    std::string m;
    if (v.ReadMessage(&m)) asked = true;
    v.WaitHostClosed(30000);
  });
  std::thread other([&asked] {
    WaitFor([&asked] { return asked.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(VxDisconnect(), 0);
  });
  EXPECT_EQ(GetParam().call(), GetParam().expected) << GetParam().name;
  other.join();
  viewer.Join();
  EXPECT_TRUE(asked);
  EXPECT_EQ(Log().broken, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NeverAnswers,
    ::testing::Values(Waiting{"SendCmdA", CallSendCmdA, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"SendCmdW", CallSendCmdW, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"WaitFor", CallWaitFor, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"CancelAll", CallCancelAll, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"ProductVersion", CallProductVersion, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"SetLanguage", CallSetLanguage, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"ErrorString", CallErrorString, VX_E_COMMUNICATION_BROKEN},
                      Waiting{"ProductId", CallProductId, 0}),
    [](const ::testing::TestParamInfo<Waiting>& p) { return std::string(p.param.name); });

constexpr int kFlood = 20000;

std::string FloodOfCalls() {
  std::string burst;
  for (int i = 0; i < kFlood; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  return burst;
}

std::atomic<int> g_nextExpected{0};
std::atomic<int> g_outOfOrder{0};

void CheckOrder(const char*, const char* args, CallAnswer*) {
  if (std::atoi(args) != g_nextExpected.load()) ++g_outOfOrder;
  ++g_nextExpected;
}

TEST_F(Hostile, AFloodOfCallsWhileACommandWaits) {
  g_nextExpected = 0;
  g_outOfOrder = 0;
  SetCallBehaviour(CheckOrder);
  RawViewer viewer;
  Connect(viewer);
  const std::string burst = FloodOfCalls();
  int answersToCalls = 0;
  int otherMessages = 0;
  viewer.Run([&](RawViewer& v) {
    std::string m;
    if (!v.ReadMessage(&m)) return;
    // The command's answer comes after all the calls.
    v.Send(burst + RetFrame(0, "after the flood"));
    for (int i = 0; i < kFlood && v.ReadMessage(&m, 60000); ++i) {
      if (m == "RET 0,2,OK") {
        ++answersToCalls;
      } else {
        ++otherMessages;
      }
    }
  });
  EXPECT_EQ(VxSendCmdA("Busy", ""), 0);
  EXPECT_EQ(LastResponseText(), "after the flood");
  viewer.Join();
  EXPECT_EQ(answersToCalls, kFlood);  // every call answered exactly once
  EXPECT_EQ(otherMessages, 0);
  EXPECT_EQ(Log().calls, kFlood);
  EXPECT_EQ(g_outOfOrder, 0);
  EXPECT_EQ(Log().broken, 0);
}

// Large calls flooded faster than the host takes them (its handler is
// busy, or nobody calls VxRecvCmd) by a viewer that never reads: the
// library holds them up to its bound, then ends the connection.
TEST_F(Hostile, AFloodOfLargeCallsIsHeldUpToABound) {
  constexpr int kCalls = 100;
  constexpr size_t kBound = 64u << 20;
  const std::string call = Frame("EXE Big(" + std::string(1900000, 'b') + ")\n");
  for (bool handler : {true, false}) {
    ResetLog();
    g_gateOpen = false;
    SetCallBehaviour([](const char*, const char*, CallAnswer*) { WaitAtGate(); });
    RawViewer viewer;
    const uint16_t port = viewer.Listen();
    ASSERT_EQ(VxConnectA("127.0.0.1", port, 0, handler ? LoggingCallHandler : nullptr,
                         LoggingBrokenHandler),
              0);
    ASSERT_TRUE(viewer.Accept());
    std::atomic<int> sent{0};
    viewer.Run([&](RawViewer& v) {
      for (int i = 0; i < kCalls && v.Send(call); ++i) ++sent;
      v.Close();
    });
    EXPECT_EQ(VxSendCmdA("Waits", ""), VX_E_COMMUNICATION_BROKEN);
    viewer.Join();
    // What got through: the calls held, and what the socket buffers took.
    EXPECT_LT(sent * call.size(), kBound + (48u << 20)) << handler;
    g_gateOpen = true;
    ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1);
    EXPECT_EQ(Log().calls, handler ? 1 : 0);  // calls still queued went with the connection
    CallRecord record;
    size_t kept = 0;
    while (VxRecvCmd(&record) != 0) ++kept;
    EXPECT_LE(kept * call.size(), kBound) << handler;
    EXPECT_TRUE(handler || kept > 0);
  }
}

// Whether this system wakes a thread blocked in a send when another thread
// ends the socket the way the library's disconnect does (a shutdown, and on
// Windows the cancelling of the socket's pending I/O).
bool EndingASocketWakesABlockedSend() {
  namespace plat = vxb::plat;
  plat::SocketsStart();
  const plat::Socket listener = plat::TcpSocket();
  plat::BindAny(listener, 0);
  plat::Listen(listener, 1);
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const plat::Socket sender = plat::TcpSocket();
  bool woken = false;
  if (plat::Connect(sender, loopback, plat::LocalPort(listener)) == 0) {
    const plat::Socket peer = plat::Accept(listener);  // never reads
    std::atomic<bool> returned{false};
    std::thread blocked([&] {
      const std::string big(64u << 20, 'x');  // more than any socket buffer
      plat::Send(sender, big.data(), static_cast<int>(big.size()));
      returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    plat::ShutdownBoth(sender);
    woken = WaitFor([&returned] { return returned.load(); }, 5000);
    plat::CloseSocket(peer);  // releases the send where nothing else did
    blocked.join();
    plat::CloseSocket(sender);
  } else {
    plat::CloseSocket(sender);
  }
  plat::CloseSocket(listener);
  plat::SocketsStop();
  return woken;
}

TEST_F(Hostile, AFloodOfCallsFromAViewerThatNeverReads) {
  if (!EndingASocketWakesABlockedSend()) {
    GTEST_SKIP() << "closing a socket does not wake a send blocked on it here (Wine): "
                    "the library's disconnect relies on it";
  }
  g_nextExpected = 0;
  g_outOfOrder = 0;
  SetCallBehaviour(CheckOrder);
  RawViewer viewer;
  Connect(viewer);
  // The viewer never reads: the answers to its calls fill the socket
  // buffers until the library's sends block.
  ASSERT_TRUE(viewer.Send(FloodOfCalls()));
  // A command of the host larger than any socket buffer gets stuck in its
  // send (or behind the dispatcher's); another host thread disconnects.
  const std::string big(16u << 20, 'a');
  std::atomic<int> disconnected{1};
  std::thread other([&disconnected] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    disconnected = VxDisconnect();  // returns: nothing stays blocked
  });
  EXPECT_EQ(VxSendCmdA("Blocked", big.c_str()), VX_E_COMMUNICATION_BROKEN);
  other.join();
  EXPECT_EQ(disconnected, 0);
  EXPECT_EQ(Log().broken, 1);
  EXPECT_LE(Log().calls, kFlood);  // calls still queued at the end are dropped
  EXPECT_EQ(g_outOfOrder, 0);
  viewer.Close();
}

}  // namespace
}  // namespace vxhostile
