// The rule of the wire: the viewer answers every message with one RET, in
// the order it received them, and the k-th RET answers the k-th message.
// Commands of several host threads and of handlers are in flight together;
// none waits for another, none ever gets another's answer, and ending a
// connection waits neither for them nor for a handler.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

// A command does not wait for the answer of another: CANCELALL reaches the
// viewer while a FLUSH still waits for the work it is meant to cancel, and
// each gets its own answer.
TEST_F(HostTest, CancelAllReachesTheViewerWhileWaitForWaits) {
  peer.SetResponder([](const std::string& m) {
    if (m == "SYS FLUSH\n") return std::string();  // until the work is over
    if (m == "SYS CANCELALL\n") return RetFrame(0, "flushed") + RetFrame(0, "cancelled");
    return std::string();
  });
  ASSERT_EQ(Connect(), 0);
  int flushed = 1, cancelled = 1;
  std::string flushText, cancelText;
  std::thread flush([&] {
    flushed = VxWaitFor();
    flushText = LastResponseText();
  });
  ASSERT_TRUE(WaitUntil([this] { return peer.MessagesReceived() == 1; }));
  std::thread cancel([&] {
    cancelled = VxCancelAll();
    cancelText = LastResponseText();
  });
  // (Were it waiting behind the FLUSH, the test ends all the same.)
  if (!WaitUntil([this] { return peer.MessagesReceived() == 2; })) peer.SendRaw(RetFrame(0, "flushed"));
  flush.join();
  cancel.join();
  EXPECT_EQ(flushed, 0);
  EXPECT_EQ(cancelled, 0);
  EXPECT_EQ(flushText + "/" + cancelText, "flushed/cancelled") << "CANCELALL waited behind the FLUSH";
}

// The host disconnects the moment a handler has returned: the handler's
// answer is on the wire before the connection closes.
TEST_F(HostTest, ADisconnectRightAfterAHandlerReturnsKeepsItsAnswer) {
  SetCallBehaviour([](const char*, const char* args, CallAnswer* answer) {
    std::snprintf(answer->text, sizeof answer->text, "r%s", args);
  });
  // Each connection's call comes with the answer to its first command.
  peer.SetResponder([](const std::string& m) {
    if (m.compare(0, 7, "EXE Go(") != 0) return std::string();
    return RetFrame(0, "go") + Frame("EXE Ask(" + m.substr(7, m.size() - 9) + ")\n");
  });
  const int rounds = 2000;
  int lost = 0;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(Connect(LogCall), 0);
    const std::string k = std::to_string(round);
    ASSERT_EQ(VxSendCmdA("Go", k.c_str()), 0);
    // LogCall counts a call as its very last step.
    ASSERT_TRUE(WaitUntil([round] { return Log().calls.load() == round + 1; }));
    ASSERT_EQ(VxDisconnect(), 0);
    std::string m;
    lost += !peer.NextMessage(&m) || m != "EXE Go(" + k + ")\n" || !peer.NextMessage(&m, 5000) ||
            m != "RET 0," + std::to_string(k.size() + 1) + ",r" + k;
  }
  EXPECT_EQ(lost, 0) << "of " << rounds;
}

// The usual GUI pattern: the BrokenHandler hands its work to the UI thread
// and waits for it, and the UI thread is the one that disconnects, or that
// connects again after a loss. Neither waits for a handler that runs: the
// old connection's threads finish on their own.
std::atomic<int> g_posted{0};
std::atomic<int> g_done{0};
std::atomic<int> g_gaveUp{0};

void VXAPI WaitForTheUiThread() {
  const int mine = ++g_posted;
  if (!WaitUntil([mine] { return g_done.load() >= mine; }, 10000)) ++g_gaveUp;
}

TEST_F(HostTest, ABrokenHandlerMayWaitForTheThreadThatDisconnects) {
  g_posted = g_done = g_gaveUp = 0;
  auto uiLoop = [] { g_done = g_posted.load(); };  // the UI thread's turn to run posted work
  ASSERT_EQ(Connect(nullptr, WaitForTheUiThread), 0);
  ASSERT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  ASSERT_TRUE(WaitUntil([] { return g_posted.load() == 1; }));
  uiLoop();
  // Lost, then a new connection and its disconnect while the old
  // connection's BrokenHandler still waits for this thread.
  ASSERT_EQ(Connect(nullptr, WaitForTheUiThread), 0);
  peer.Close();
  ASSERT_TRUE(WaitUntil([] { return g_posted.load() == 2; }));
  EXPECT_EQ(Connect(nullptr, WaitForTheUiThread), 0);
  EXPECT_EQ(VxSendCmdA("Works", ""), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  ASSERT_TRUE(WaitUntil([] { return g_posted.load() == 3; }));
  uiLoop();
  EXPECT_TRUE(ThreadsBackTo(threadsBefore));
  EXPECT_EQ(g_gaveUp, 0) << "a connect or disconnect waited for the handler";
}

// VXBRIDGE_COMMAND_TIMEOUT_MS bounds a command from its start: waiting for
// its turn to send and the send itself count too. A viewer that stopped
// reading blocks an 8 MiB command in its send, and a small command behind
// it waits for its turn: both end with -6 (the connection cannot be trusted
// after a torn message), once, instead of waiting for ever.
TEST_F(Hostile, ATimeOutCoversWaitingToSendAndTheSend) {
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", "300");
  ScriptPeer viewer;
  Connect(viewer);
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
  // Reads nothing; lets go only long after any time-out.
  static std::atomic<bool> release;
  release = false;
  viewer.Run([](TestPeer& v) {
    WaitUntil([] { return release.load(); }, 15000);
    v.Close();
  });
  const std::string big(8u << 20, 'b');
  std::atomic<int> small{1};
  std::thread behind([&small] {
    vxb::plat::SleepMs(100);
    small = VxSendCmdA("Small", "");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VxSendCmdA("Big", big.c_str()), VX_E_COMMUNICATION_BROKEN);
  behind.join();
  EXPECT_EQ(small, VX_E_COMMUNICATION_BROKEN);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "waited for the viewer";
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_TRUE(BrokenRanOnce());
  release = true;
  viewer.Join();
}

}  // namespace
}  // namespace vxtest
