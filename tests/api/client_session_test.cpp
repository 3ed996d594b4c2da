// A client session's life: connect, the viewer's calls into the host, lost
// connections, and commands that wait while the link goes.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api_fixture.h"

namespace {

using vxtest::ApiSession;
using vxtest::Bytes;
using vxtest::Frame;
using vxtest::RetFrame;

// Host callbacks are plain function pointers: their state is global.
std::mutex g_mu;
std::vector<std::string> g_calls;
std::atomic<int> g_brokenCalls{0};
std::atomic<bool> g_brokenDone{false};
std::atomic<int> g_handled{0};
std::atomic<int> g_outOfOrder{0};
int32_t g_answerCode = 0;
const char* g_answerText = "OK";

void ResetCallbacks() {
  std::lock_guard<std::mutex> g(g_mu);
  g_calls.clear();
  g_brokenCalls = 0;
  g_brokenDone = false;
  g_handled = 0;
  g_outOfOrder = 0;
  g_answerCode = 0;
  g_answerText = "OK";
}

void VXAPI RecordingHandler(const char* name, const char* args, CallAnswer* answer) {
  {
    std::lock_guard<std::mutex> g(g_mu);
    g_calls.push_back(std::string(name) + "|" + args);
  }
  EXPECT_EQ(answer->code, 0);
  EXPECT_STREQ(answer->text, "OK");
  EXPECT_EQ(answer->reserved, 0);
  answer->code = g_answerCode;
  std::snprintf(answer->text, sizeof answer->text, "%s", g_answerText);
}

void VXAPI CountingHandler(const char*, const char* args, CallAnswer*) {
  if (std::atoi(args) != g_handled.load()) ++g_outOfOrder;
  ++g_handled;
}

void VXAPI UnterminatedHandler(const char*, const char*, CallAnswer* answer) {
  std::memset(answer->text, 'z', sizeof answer->text);
}

void VXAPI SlowBrokenHandler() {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ++g_brokenCalls;
  g_brokenDone = true;
}

void VXAPI CommandFromHandler(const char*, const char*, CallAnswer* answer) {
  // A command sent from inside the handler still gets its answer.
  const int32_t rc = VxSendCmdA("Inner", "");
  std::snprintf(answer->text, sizeof answer->text, "inner=%d", rc);
}

class Session : public ApiSession {
 protected:
  void SetUp() override {
    ApiSession::SetUp();
    ResetCallbacks();
  }
};

TEST_F(Session, HandlerAnswerReachesTheViewer) {
  g_answerCode = 5;
  g_answerText = "nope";
  ASSERT_EQ(Connect(RecordingHandler, nullptr), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Rotate(1,2)\n"));
  ASSERT_TRUE(viewer.SendFrame("SYS FLUSH\n"));
  const auto answers = Received(2);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], "RET 5,4,nope");
  EXPECT_EQ(answers[1], "RET 5,4,nope");
  std::lock_guard<std::mutex> g(g_mu);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[0], "Rotate|1,2");
  EXPECT_EQ(g_calls[1], "SYS|FLUSH");
}

TEST_F(Session, AnswerTextWithoutTerminatorIsCutAt64Bytes) {
  ASSERT_EQ(Connect(UnterminatedHandler, nullptr), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE A()\n"));
  const auto answers = Received(1);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], "RET 0,64," + std::string(64, 'z'));
}

TEST_F(Session, WithoutHandlerTheCallIsAnsweredOkAndKeptForRecvCmd) {
  ASSERT_EQ(Connect(), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Pick(3,4)\n"));
  const auto answers = Received(1);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(viewer.RawReceived(), Bytes("\x0A\x00\x00\x00" "RET 0,2,OK"));
  CallRecord record;
  ASSERT_TRUE(vxtest::WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
  EXPECT_EQ(std::string(record.name, 64), "Pick" + std::string(60, ' '));
  EXPECT_EQ(std::string(record.args, 512), "3,4" + std::string(509, ' '));
  EXPECT_EQ(VxRecvCmd(&record), 0);
  EXPECT_EQ(VxRecvCmd(nullptr), 0);
}

TEST_F(Session, LongNamesAndArgsAreCutToTheRecord) {
  ASSERT_EQ(Connect(), 0);
  const std::string name(100, 'n');
  const std::string args(600, 'a');
  ASSERT_TRUE(viewer.SendFrame("EXE " + name + "(" + args + ")\n"));
  struct Guarded {
    CallRecord record;
    char fence[16];
  } g;
  std::memset(g.fence, 0x5A, sizeof g.fence);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return VxRecvCmd(&g.record) != 0; }));
  EXPECT_EQ(std::string(g.record.name, 64), std::string(64, 'n'));
  EXPECT_EQ(std::string(g.record.args, 512), std::string(512, 'a'));
  EXPECT_EQ(std::string(g.fence, 16), std::string(16, '\x5A'));
}

TEST_F(Session, LostConnectionIsReportedOnceAndTheNextConnectWorks) {
  ASSERT_EQ(Connect(nullptr, SlowBrokenHandler), 0);
  viewer.Close();
  ASSERT_TRUE(vxtest::WaitUntil([] { return g_brokenDone.load(); }));
  EXPECT_EQ(g_brokenCalls, 1);
  // Raised just after the BrokenHandler returns, then reported once.
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxIsConnectionBroken() != 0; }));
  EXPECT_EQ(VxIsConnectionBroken(), 0);
  EXPECT_EQ(VxSendCmdA("X", ""), VX_E_NOT_CONNECTED);
  // Reconnect without a VxDisconnect in between.
  vxtest::TestPeer second;
  second.SetResponder(vxtest::EchoAnswer);
  const uint16_t port2 = second.Listen();
  ASSERT_EQ(VxConnectA("127.0.0.1", port2, 0, nullptr, SlowBrokenHandler), 0);
  EXPECT_EQ(VxSendCmdA("Again", ""), 0);
  EXPECT_EQ(LastResponse(), "ok:EXE Again()\n");
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(g_brokenCalls, 2);
}

TEST_F(Session, DisconnectReturnsAfterTheBrokenHandlerRan) {
  ASSERT_EQ(Connect(nullptr, SlowBrokenHandler), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_TRUE(g_brokenDone);
  EXPECT_EQ(g_brokenCalls, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_TRUE(viewer.WaitClosedByHost());
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(g_brokenCalls, 1);
}

TEST_F(Session, ConnectChecks) {
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(Connect(), VX_E_ALREADY_CONNECTED);
  VxDisconnect();
  EXPECT_EQ(VxConnectA("no-such-host.invalid", port, 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxConnectA(nullptr, port, 0, nullptr, nullptr), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxDisconnect(), 0);
  const VxWChar host[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0};
  EXPECT_EQ(VxConnectW(host, port, 0, nullptr, nullptr), 0);
}

class Dropping : public Session, public ::testing::WithParamInterface<int> {};

TEST_P(Dropping, ACommandWaitingWhenTheLinkGoesReturnsMinus6) {
  viewer.SetResponder(nullptr);  // never answers
  ASSERT_EQ(Connect(), 0);
  std::thread dropper([this] {
    std::string m;
    ASSERT_TRUE(viewer.NextMessage(&m));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    switch (GetParam()) {
      case 0: viewer.Close(); break;
      case 1: viewer.Reset(); break;
      default: VxDisconnect(); break;  // the host, from another thread
    }
  });
  EXPECT_EQ(VxSendCmdA("Wait", ""), VX_E_COMMUNICATION_BROKEN);
  dropper.join();
  EXPECT_EQ(LastResponse(), "");
  // The break notice is not taken for the answer of the next session's
  // command.
  vxtest::TestPeer next;
  next.SetResponder([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return RetFrame(0, "fresh");
  });
  const uint16_t port2 = next.Listen();
  ASSERT_EQ(VxConnectA("127.0.0.1", port2, 0, nullptr, nullptr), 0);
  EXPECT_EQ(VxSendCmdA("Next", ""), 0);
  EXPECT_EQ(LastResponse(), "fresh");
}

INSTANTIATE_TEST_SUITE_P(ViewerClosesResetsOrHostDisconnects, Dropping, ::testing::Values(0, 1, 2));

TEST_F(Session, ABurstOfCallsReachesTheHandlerInOrder) {
  constexpr int kCalls = 20000;
  viewer.SetResponder(nullptr);
  ASSERT_EQ(Connect(CountingHandler, nullptr), 0);
  std::string burst;
  for (int i = 0; i < kCalls; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  ASSERT_TRUE(viewer.SendRaw(burst));
  ASSERT_TRUE(vxtest::WaitUntil([] { return g_handled.load() == kCalls; }, 60000));
  EXPECT_EQ(g_outOfOrder, 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return viewer.MessagesReceived() == kCalls; }, 60000));
}

TEST_F(Session, ABurstOfCallsIsKeptForRecvCmdInOrder) {
  constexpr int kCalls = 20000;
  viewer.SetResponder(nullptr);
  ASSERT_EQ(Connect(), 0);
  std::string burst;
  for (int i = 0; i < kCalls; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  ASSERT_TRUE(viewer.SendRaw(burst));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return viewer.MessagesReceived() == kCalls; }, 60000));
  CallRecord record;
  for (int i = 0; i < kCalls; ++i) {
    ASSERT_TRUE(VxRecvCmd(&record) != 0) << i;
    ASSERT_EQ(std::atoi(record.args), i);
  }
  EXPECT_EQ(VxRecvCmd(&record), 0);
}

TEST_F(Session, ACommandFromInsideTheHandlerCompletes) {
  viewer.SetResponder([](const std::string& m) {
    return m.compare(0, 4, "RET ") == 0 ? std::string() : RetFrame(0, "x");
  });
  ASSERT_EQ(Connect(CommandFromHandler, nullptr), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Outer()\n"));
  const auto got = Received(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "EXE Inner()\n");
  EXPECT_EQ(got[1], "RET 0,7,inner=0");
}

// Connection calls from inside a handler: -1 before any other check; they
// would wait for the thread they run on.
struct Refusal {
  const char* name;
  int (*call)();
};
const Refusal kRefusals[] = {
    {"ConnectA", [] { return VxConnectA("127.0.0.1", 1, 0, nullptr, nullptr); }},
    {"ConnectAsServer", [] { return VxConnectAsServer(1, 0); }},
    {"Accept", [] { return VxAccept(); }},
    {"LaunchAndConnect",
     [] { return VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr); }},
};

void RecordWrongResult(const char* name, int rc) {
  std::lock_guard<std::mutex> g(g_mu);
  g_calls.push_back(std::string(name) + "=" + std::to_string(rc));
}

void VXAPI RefusingHandler(const char*, const char*, CallAnswer*) {
  // Still connected: the host disconnects only once it saw the handler run.
  if (const int rc = VxDisconnect(); rc != VX_E_INVALID_PARAMETER) RecordWrongResult("Disconnect", rc);
  // Connected at first; then for a while after the host's disconnect has
  // closed the link, while it waits for the reader thread and releases it.
  for (int afterClose = 0; afterClose < 1000;) {
    for (const Refusal& r : kRefusals) {
      if (const int rc = r.call(); rc != VX_E_INVALID_PARAMETER) RecordWrongResult(r.name, rc);
    }
    ++g_handled;
    if (VxAvailableBytes() == -1) ++afterClose;
  }
}

TEST_F(Session, ConnectionCallsFromAHandlerAreRefused) {
  ASSERT_EQ(Connect(RefusingHandler, nullptr), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Outer()\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return g_handled.load() > 10; }));
  EXPECT_EQ(VxDisconnect(), 0);
  std::lock_guard<std::mutex> g(g_mu);
  EXPECT_TRUE(g_calls.empty()) << g_calls.front();
}

}  // namespace
