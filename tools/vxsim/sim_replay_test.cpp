// A host on the library, recorded through the proxy in front of vxsim's own
// viewer while it takes the demo's steps, then given the recording's replay:
// the same host gets the same results and no divergence; a host changed in
// one place is reported at the recorded frame it departs from.
#include "sim_accept.h"
#include "sim_os.h"
#include "sim_proxy.h"
#include "sim_recording.h"
#include "sim_replay.h"
#include "sim_session.h"
#include "vxbridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vxsim {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::string g_call;
bool g_broken = false;

void VXAPI onCall(const char* name, const char* args, CallAnswer* answer) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_call = std::string(name) + "(" + args + ")";
  std::snprintf(answer->text, sizeof answer->text, "seen %s", args);
  g_changed.notify_all();
}

void VXAPI onBroken() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_broken = true;
  g_changed.notify_all();
}

// Waits (bounded, so that a fault shows as a failure rather than a hang)
// until done() holds.
template <typename Done>
bool await(Done done) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, std::chrono::seconds(20), done);
}

// The host: each step one use of the library, its result in the transcript.
std::string runHost(std::uint16_t port, const std::vector<std::string>& steps) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_call.clear();
    g_broken = false;
  }
  std::string out = "connect " + std::to_string(VxConnectA("127.0.0.1", port, 0, onCall, onBroken));
  for (const std::string& step : steps) {
    const std::size_t space = step.find(' '), second = step.find(' ', space + 1);
    const std::string verb = step.substr(0, space);
    const std::string name = step.substr(space + 1, second - space - 1);
    const std::string args = second == std::string::npos ? "" : step.substr(second + 1);
    char* text = nullptr;
    VxResult rc = 0;
    if (verb == "id") {
      int32_t id = 0;
      rc = VxGetRemoteProductId(&id);
      out += "|id " + std::to_string(rc) + " " + std::to_string(id);
      continue;
    }
    if (verb == "version") rc = VxGetRemoteProductVersionA(&text);
    if (verb == "lang") rc = VxSetLanguageA(name.c_str());
    if (verb == "error") rc = VxGetErrorStringA(name.c_str(), std::atoi(args.c_str()), &text);
    if (verb == "cancel") rc = VxCancelAll();
    if (verb == "send") {
      uint32_t length = 0;
      rc = VxSendCmdA(name.c_str(), args.c_str());
      if (rc == 0) VxGetLastResponseA(&length, &text);
      char message[128] = "";
      int32_t size = sizeof message - 1;
      if (rc > 0 && VxLastVexaErrorMessageA(message, &size) == 0) out += "|" + std::string(message, size);
    }
    if (verb == "await") {
      const bool called = await([] { return !g_call.empty(); });
      std::lock_guard<std::mutex> lock(g_mutex);
      out += "|called " + (called ? g_call : "nothing");
      continue;
    }
    out += "|" + step + " " + std::to_string(rc) + (text != nullptr ? " " + std::string(text) : "");
    VxFreeA(text);
  }
  out += "|disconnect " + std::to_string(VxDisconnect());
  await([] { return g_broken; });
  return out;
}

// The steps of vxctl's demo session with a CallHandler.
const std::vector<std::string> kDemo = {
    "id",           "version",      "lang spa",     "send Echo hello, viewer", "send Add 2,40", "send Teleport 0,0,5",
    "error eng 26", "error spa 26", "error cat 26", "await",                   "cancel"};

os::Socket listenOn(std::uint16_t& port) {
  std::string err;
  const os::Socket s = os::listenTcp(0, port, err);
  EXPECT_NE(s, os::kNoSocket) << err;
  return s;
}

class Replayed : public ::testing::Test {
 protected:
  // Records the demo once for all the cases: the host through the proxy to
  // vxsim's viewer, which calls Notify(scene-loaded) as the host connects.
  static void SetUpTestSuite() {
    std::string err;
    ASSERT_TRUE(os::startNetwork(err)) << err;
    std::uint16_t viewerPort = 0, proxyPort = 0;
    const os::Socket viewerListener = listenOn(viewerPort), proxyListener = listenOn(proxyPort);
    std::thread viewer([viewerListener] {
      std::string why;
      const os::Socket host = acceptHost(viewerListener, 20000, why);
      SessionOptions options;
      OutgoingCall notify;
      makeOutgoingCall("Notify(scene-loaded)", notify);
      options.calls.push_back(notify);
      ViewerState state;
      runSession(host, state, options);
      os::closeSocket(host);
    });
    std::ostringstream file;
    RecordingWriter writer(file);
    ProxyOptions proxy;
    proxy.viewerPort = viewerPort;
    std::thread relaying([&] { runProxy(proxyListener, proxy, &writer); });
    original_ = runHost(proxyPort, kDemo);
    relaying.join();
    viewer.join();
    os::closeSocket(viewerListener);
    os::closeSocket(proxyListener);
    ASSERT_TRUE(parseRecording(file.str(), recording_, err)) << err << "\n" << file.str();
  }

  // The replay's outcome for a host taking these steps; its transcript in `host`.
  static ReplayOutcome replay(const std::vector<std::string>& steps, std::string& host,
                              const std::vector<std::string>& allow = {}) {
    std::uint16_t port = 0;
    const os::Socket listener = listenOn(port);
    ReplayOutcome outcome;
    std::thread replaying([&] {
      std::string err;
      const os::Socket s = acceptHost(listener, 20000, err);
      ReplayOptions options;
      options.timeoutMs = 20000;
      options.allow = allow;
      outcome = replaySession(s, recording_.sessions.at(0), options);
      os::closeSocket(s);
    });
    host = runHost(port, steps);
    replaying.join();
    os::closeSocket(listener);
    return outcome;
  }

  // "frame K (recording line L)" of the recorded host frame `message`.
  static std::string recordedAt(const std::string& message) {
    int k = 0;
    for (const RecordedFrame& f : recording_.sessions.at(0).frames) {
      if (f.side != Side::Host) continue;
      ++k;
      if (f.message == message)
        return "frame " + std::to_string(k) + " (recording line " + std::to_string(f.line) + ")";
    }
    return "(not recorded: " + message + ")";
  }

  static std::string original_;
  static Recording recording_;
};

std::string Replayed::original_;
Recording Replayed::recording_;

TEST_F(Replayed, TheSameHostGetsTheSameResultsWithoutDivergence) {
  EXPECT_EQ(original_,
            "connect 0|id 0 1001|version 0 3.1.0.0|lang spa 0|send Echo hello, viewer 0 hello, viewer|"
            "send Add 2,40 0 42|Comando desconocido|send Teleport 0,0,5 26|error eng 26 0 Unknown command|"
            "error spa 26 0 Comando desconocido|error cat 26 0 Ordre desconeguda|called Notify(scene-loaded)|"
            "cancel 0|disconnect 0");
  std::string host;
  const ReplayOutcome outcome = replay(kDemo, host);
  EXPECT_TRUE(outcome.ok) << outcome.report;
  EXPECT_EQ(host, original_);
  EXPECT_EQ(outcome.hostFrames, 11u);    // 10 commands, the answer to Notify
  EXPECT_EQ(outcome.viewerFrames, 11u);  // 10 answers, Notify
}

// A host changed in one place is reported at the recorded frame it departs
// from, unless a pattern allows the change.
TEST_F(Replayed, AChangedHostIsReportedAtTheFrameItDepartsFrom) {
  const std::size_t hostFrames = 11;
  struct Case {
    const char* change;
    std::vector<std::string> steps, allow;
    std::string report;
  };
  std::vector<std::string> other = kDemo, missing = kDemo, extra = kDemo, beyond = kDemo;
  other[4] = "send Add 2,41";
  missing.erase(missing.begin() + 3);
  extra.insert(extra.begin() + 5, "send Echo again");
  beyond.push_back("send Add 1,1");
  const Case cases[] = {
      {"one argument different", other, {},
       "diverged at the host's " + recordedAt("EXE Add(2,40)\n") +
           ":\n  expected: EXE Add(2,40)\\n\n  actual:   EXE Add(2,41)\\n\n"
           "  (the first difference is at byte 11 of the message)\n"},
      {"one argument different, allowed", other, {"Echo(*)", "Add(2,*)"}, ""},
      {"one command missing", missing, {},
       "diverged at the host's " + recordedAt("EXE Echo(hello, viewer)\n") +
           ":\n  expected: EXE Echo(hello, viewer)\\n\n  actual:   EXE Add(2,40)\\n\n"
           "  (the first difference is at byte 4 of the message)\n"},
      {"one command extra", extra, {},
       "diverged at the host's " + recordedAt("EXE Teleport(0,0,5)\n") +
           ":\n  expected: EXE Teleport(0,0,5)\\n\n  actual:   EXE Echo(again)\\n\n"
           "  (the first difference is at byte 4 of the message)\n"},
      {"one command after the end", beyond, {},
       "diverged at the host's frame " + std::to_string(hostFrames + 1) +
           ":\n  expected: (no more calls of the host)\n  actual:   EXE Add(1,1)\\n\n"},
  };
  for (const Case& c : cases) {
    std::string host;
    const ReplayOutcome outcome = replay(c.steps, host, c.allow);
    EXPECT_EQ(outcome.ok, c.report.empty()) << c.change;
    EXPECT_EQ(outcome.report, c.report.empty() ? "" : "session 1 " + c.report) << c.change;
    EXPECT_TRUE(!c.report.empty() || host.find("|send Add 2,41 0 42|") != std::string::npos) << host;
  }
}

// A host of raw frames, each written at once and then the connection
// closed, against a recording whose viewer calls the host twice: what the
// pairing rule lets differ (the interleaving of the host's two streams, the
// answers that cross the host's end) and what it does not.
TEST(ReplayPairing, ComparesTheHostsCallsAndAnswersEachInTheirOrder) {
  using namespace std::string_literals;
  const std::string recorded =
      "vxsim-recording 1\nsession 1\nviewer 0.1 14\nEXE Notify(x)\n\nhost 0.2 14\nEXE Add(2,40)\n\n"
      "host 0.3 10\nRET 0,2,OK\nviewer 0.4 10\nRET 0,2,42\nviewer 0.5 11\nEXE Done()\n\n";
  const std::string add = "\x0E\0\0\0EXE Add(2,40)\n"s, ok = "\x0A\0\0\0RET 0,2,OK"s;
  const std::string bye = "\x0B\0\0\0RET 0,3,bye"s, no = "\x0A\0\0\0RET 0,2,no"s;
  const std::string answered = recorded + "host 0.6 11\nRET 0,3,bye\nend 0.7 host\n";
  const std::string unanswered = recorded + "end 0.6 host\n";
  const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
      {"as recorded", answered, add + ok + bye, ""},
      {"its answer before its call", answered, ok + add + bye, ""},
      {"closes before answering Done", answered, add + ok, ""},
      {"answers Done, which the recorded host did not", unanswered, add + ok + bye, ""},
      {"another answer", answered, add + ok + no,
       "session 1 diverged at the host's frame 3 (recording line 16):\n  expected: RET 0,3,bye\n"
       "  actual:   RET 0,2,no\n  (the first difference is at byte 6 of the message)\n"},
      {"an answer without a call", answered, add + ok + bye + ok,
       "session 1 diverged at the host's frame 4:\n  expected: (no more answers of the host)\n"
       "  actual:   RET 0,2,OK\n"},
      {"closes before its call", answered, ok,
       "session 1 diverged at the host's frame 1 (recording line 6):\n  expected: EXE Add(2,40)\\n\n"
       "  actual:   (the host closed the connection)\n"},
  };
  std::string err;
  ASSERT_TRUE(os::startNetwork(err)) << err;
  for (const auto& [what, text, host, report] : cases) {
    Recording recording;
    ASSERT_TRUE(parseRecording(text, recording, err)) << err;
    std::uint16_t port = 0;
    const os::Socket listener = listenOn(port);
    ReplayOutcome outcome;
    std::thread replaying([&] {
      const os::Socket s = acceptHost(listener, 20000, err);
      ReplayOptions options;
      options.timeoutMs = 20000;
      outcome = replaySession(s, recording.sessions.at(0), options);
      os::closeSocket(s);
    });
    const os::Socket s = os::connectTcp("127.0.0.1", port, err);
    std::string sendErr;
    os::sendAll(s, host.data(), host.size(), sendErr);
    os::shutdownSend(s);
    char buffer[256];
    while (os::receiveSome(s, buffer, sizeof buffer) > 0) {
    }
    replaying.join();
    os::closeSocket(s);
    os::closeSocket(listener);
    EXPECT_EQ(outcome.ok, report.empty()) << what;
    EXPECT_EQ(outcome.report, report) << what;
  }
}

}  // namespace
}  // namespace vxsim
