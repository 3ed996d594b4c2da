#include "hostile_fixture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "test_peer.h"
#include "test_support.h"

namespace vxhostile {

namespace {

HostLog g_log;
std::mutex g_behaviourMu;
CallBehaviour g_behaviour;

int Tick() { return ++g_log.ticks; }

}  // namespace

HostLog& Log() { return g_log; }

void ResetLog() {
  g_log.calls = 0;
  g_log.broken = 0;
  g_log.ticks = 0;
  g_log.lastCallEnd = 0;
  g_log.brokenAt = 0;
  g_log.brokenDuringCall = 0;
  g_log.inCall = false;
  std::lock_guard<std::mutex> g(g_log.mu);
  g_log.seen.clear();
}

std::vector<std::string> SeenCalls() {
  std::lock_guard<std::mutex> g(g_log.mu);
  return g_log.seen;
}

void SetCallBehaviour(CallBehaviour behaviour) {
  std::lock_guard<std::mutex> g(g_behaviourMu);
  g_behaviour = std::move(behaviour);
}

void VXAPI LoggingCallHandler(const char* name, const char* args, CallAnswer* answer) {
  g_log.inCall = true;
  {
    std::lock_guard<std::mutex> g(g_log.mu);
    g_log.seen.push_back(std::string(name) + "|" + args);
  }
  CallBehaviour behaviour;
  {
    std::lock_guard<std::mutex> g(g_behaviourMu);
    behaviour = g_behaviour;
  }
  if (behaviour) behaviour(name, args, answer);
  g_log.inCall = false;
  g_log.lastCallEnd = Tick();
  ++g_log.calls;
}

void VXAPI LoggingBrokenHandler() {
  if (g_log.inCall.load()) ++g_log.brokenDuringCall;
  g_log.brokenAt = Tick();
  ++g_log.broken;
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  return vxtest::WaitUntil(cond, timeoutMs);
}

void ExpectHealthyRoundTrip() {
  vxtest::TestPeer viewer;
  viewer.SetResponder([](const std::string& m) {
    if (m.compare(0, 4, "RET ") == 0) return std::string();
    return vxtest::RetFrame(0, "ok:" + m);
  });
  const uint16_t port = viewer.Listen();
  const int brokenBefore = g_log.broken;
  const int callsBefore = g_log.calls;
  ASSERT_EQ(VxConnectA("127.0.0.1", port, 0, LoggingCallHandler, LoggingBrokenHandler), 0);
  ASSERT_TRUE(viewer.WaitConnected());
  EXPECT_EQ(VxSendCmdA("Ping", "after"), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Ping(after)\n");
  ASSERT_TRUE(viewer.SendFrame("EXE Hello(after)\n"));
  std::string m;
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(m, "EXE Ping(after)\n");
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(m, "RET 0,2,OK");
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(g_log.broken - brokenBefore, 1);
  EXPECT_EQ(g_log.calls - callsBefore, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxIsConnectionBroken(), 0);
}

struct Watchdog::State {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread thread;
};

Watchdog::Watchdog(int seconds) : state_(new State) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? "?" : std::string(info->test_suite_name()) + "." + info->name();
  State* s = state_;
  s->thread = std::thread([s, seconds, name] {
    std::unique_lock<std::mutex> g(s->mu);
    if (!s->cv.wait_for(g, std::chrono::seconds(seconds), [s] { return s->done; })) {
      std::fprintf(stderr, "\nHANG: %s did not finish within %d s\n", name.c_str(), seconds);
      std::fflush(stderr);
      std::abort();
    }
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> g(state_->mu);
    state_->done = true;
  }
  state_->cv.notify_all();
  state_->thread.join();
  delete state_;
}

void Hostile::SetUp() {
  // Generous: the same tests run under Wine and the sanitizers.
  watchdog_ = new Watchdog(240);
  ResetLog();
  SetCallBehaviour(nullptr);
}

void Hostile::TearDown() {
  VxDisconnect();
  for (int i = 0; i < 10 && VxIsConnectionBroken() != 0; ++i) {
  }
  CallRecord record;
  for (int i = 0; i < 100000 && VxRecvCmd(&record) != 0; ++i) {
  }
  // The library's threads are gone: the behaviour can change safely.
  SetCallBehaviour(nullptr);
  ExpectHealthyRoundTrip();
  delete watchdog_;
  watchdog_ = nullptr;
}

void Hostile::Connect(RawViewer& viewer) {
  const uint16_t port = viewer.Listen();
  ASSERT_NE(port, 0);
  ASSERT_EQ(VxConnectA("127.0.0.1", port, 0, LoggingCallHandler, LoggingBrokenHandler), 0);
  ASSERT_TRUE(viewer.Accept());
}

}  // namespace vxhostile
