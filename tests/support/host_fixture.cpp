#include "host_fixture.h"

#include <chrono>
#include <thread>

namespace vxtest {
namespace {

HostLog g_log;
CallBehaviour g_behaviour;  // under g_log.mu
long g_threadsBaseline = -1;  // the current test's, before any connection

}  // namespace

HostLog& Log() { return g_log; }

void ResetLog() {
  // Handlers of an earlier connection may still be running: their marks
  // would land in the new log.
  if (g_threadsBaseline >= 0) SettleThreads(g_threadsBaseline);
  g_log.calls = g_log.broken = g_log.brokenStarted = g_log.brokenDuringCall = g_log.brokenDelayMs = 0;
  g_log.inCall = false;
  std::lock_guard<std::mutex> g(g_log.mu);
  std::vector<std::string>().swap(g_log.seen);  // its memory too, for the soak's heap figures
}

std::vector<std::string> SeenCalls() {
  std::lock_guard<std::mutex> g(g_log.mu);
  return g_log.seen;
}

void SetCallBehaviour(CallBehaviour behaviour) {
  std::lock_guard<std::mutex> g(g_log.mu);
  g_behaviour = std::move(behaviour);
}

void VXAPI LogCall(const char* name, const char* args, CallAnswer* answer) {
  g_log.inCall = true;
  EXPECT_EQ(answer->code, 0);
  EXPECT_EQ(answer->reserved, 0);
  EXPECT_STREQ(answer->text, "OK");
  std::unique_lock<std::mutex> g(g_log.mu);
  g_log.seen.push_back(std::string(name) + "|" + args);
  const CallBehaviour behaviour = g_behaviour;
  g.unlock();
  if (behaviour) behaviour(name, args, answer);
  g_log.inCall = false;
  ++g_log.calls;
}

void VXAPI LogBroken() {
  ++g_log.brokenStarted;
  if (g_log.inCall.load()) ++g_log.brokenDuringCall;
  std::this_thread::sleep_for(std::chrono::milliseconds(g_log.brokenDelayMs.load()));
  ++g_log.broken;
}

void HostTest::SetUp() {
  ResetLog();
  SetCallBehaviour(nullptr);
  peer.SetResponder([](const std::string& m) { return m.compare(0, 4, "RET ") == 0 ? "" : RetFrame(0, "ok:" + m); });
  port = peer.Listen();
  threadsBefore = g_threadsBaseline = ProcessThreads();
}

void HostTest::TearDown() {
  VxDisconnect();
  VxIsConnectionBroken();  // the flag is cleared as it is read
  CallRecord record;
  for (int i = 0; i < 100000 && VxRecvCmd(&record) != 0; ++i) continue;
  // The library's threads finish on their own; once they are gone the
  // behaviour can change safely and the next test starts afresh.
  SettleThreads(threadsBefore);
  SetCallBehaviour(nullptr);
}

int HostTest::Connect(CallHandler onCall, BrokenHandler onBroken) {
  const size_t before = peer.Connections();
  const int rc = VxConnectA("127.0.0.1", port, 0, onCall, onBroken);
  // The peer has taken this connection, not only an earlier one.
  EXPECT_TRUE(rc != 0 || WaitUntil([&] { return peer.Connections() > before; }));
  return rc;
}

void HostTest::Connect(TestPeer& script) {
  ASSERT_EQ(VxConnectA("127.0.0.1", script.Listen(), 0, LogCall, LogBroken), 0);
  ASSERT_TRUE(script.Accept());
}

void HostTest::ListenAsServer() {
  listenPort = FreeLoopbackPort();
  ASSERT_EQ(VxConnectAsServer(listenPort, 0), 0);
}

void HostTest::Attach(TestPeer& viewer) {
  ASSERT_TRUE(viewer.ConnectTo(listenPort));
  ASSERT_TRUE(WaitUntil([] { return VxAccept() == 0; }));
}

std::vector<std::string> HostTest::Received(size_t count) {
  std::vector<std::string> out;
  std::string m;
  while (out.size() < count && peer.NextMessage(&m)) out.push_back(m);
  return out;
}

void Hostile::TearDown() {
  HostTest::TearDown();
  ResetLog();
  ASSERT_EQ(Connect(LogCall, LogBroken), 0);
  EXPECT_EQ(VxSendCmdA("Ping", "after"), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Ping(after)\n");
  ASSERT_TRUE(peer.SendFrame("EXE Hello(after)\n"));
  EXPECT_EQ(Received(2), (std::vector<std::string>{"EXE Ping(after)\n", "RET 0,2,OK"}));
  // The disconnect returns once the BrokenHandler has run, and the flag is
  // raised by then.
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxIsConnectionBroken(), 0);
  EXPECT_TRUE(ThreadsBackTo(threadsBefore));
  EXPECT_EQ(Log().broken, 1);
  EXPECT_EQ(Log().calls, 1);
}

}  // namespace vxtest
