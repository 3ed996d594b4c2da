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

// The host frees what its handlers use once VxDisconnect returns: on a live
// connection it returns only after the CallHandler that runs has returned
// and its answer has reached the viewer, and the BrokenHandler (slow here)
// has run. After a loss there is nothing to close: a BrokenHandler may then
// wait for the host's UI thread while that thread disconnects and connects
// again.
std::atomic<int> g_posted{0};
std::atomic<int> g_done{0};
std::atomic<int> g_gaveUp{0};

void VXAPI WaitForTheUiThread() {
  const int mine = ++g_posted;
  if (!WaitUntil([mine] { return g_done.load() >= mine; }, 10000)) ++g_gaveUp;
}

TEST_F(HostTest, TheDisconnectWaitsForTheHandlersOfALiveConnection) {
  static std::atomic<int> handlerMs;
  SetCallBehaviour([](const char*, const char*, CallAnswer* answer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(handlerMs.load()));
    std::strcpy(answer->text, "late");
  });
  for (int round = 0; round < 3; ++round) {
    handlerMs = round == 2 ? 2300 : 200;  // the last one outlasts the close's grace for the library's own work
    ResetLog();
    Log().brokenDelayMs = 200;
    ASSERT_EQ(Connect(LogCall, LogBroken), 0);
    ASSERT_TRUE(peer.SendFrame("EXE Slow()\n"));
    ASSERT_TRUE(WaitUntil([] { return Log().inCall.load(); }));
    ASSERT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().calls, 1);
    EXPECT_EQ(Log().broken, 1);
    EXPECT_EQ(Log().brokenDuringCall, 0);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    std::string m;
    EXPECT_TRUE(peer.NextMessage(&m) && m == "RET 0,4,late") << m;
  }
  g_posted = g_done = g_gaveUp = 0;
  ASSERT_EQ(Connect(nullptr, WaitForTheUiThread), 0);
  peer.Close();
  ASSERT_TRUE(WaitUntil([] { return g_posted.load() == 1; }));
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Connect(nullptr, LogBroken), 0);
  EXPECT_EQ(VxSendCmdA("Works", ""), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  g_done = g_posted.load();  // the UI thread's turn to run posted work
  EXPECT_TRUE(ThreadsBackTo(threadsBefore));
  EXPECT_EQ(g_gaveUp, 0) << "a connect or disconnect waited for the lost connection's handler";
}

}  // namespace
}  // namespace vxtest
