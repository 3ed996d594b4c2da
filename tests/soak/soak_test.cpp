// Soak: the library driven for a long time in each way a host uses it, and
// left as it was found. Every phase measures the process before and after
// (open descriptors, threads, resident memory) and counts that every call
// of the viewer and every end of a connection reached the host exactly
// once.
//
// Counts: 10,000 commands, 1,000 connect/disconnect cycles, 200 server-mode
// accept cycles, 1,000 lost connections, natively and under Wine alike.
// VXB_SOAK_DIVISOR=d divides all of them; --commands=N, --cycles=N,
// --accepts=N and --losses=N set one each. --no-resident-check reports resident memory without
// judging it (for runs under valgrind, whose own memory is what the system
// reports); builds with a sanitizer skip that check too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "process_probe.h"
#include "raw_viewer.h"
#include "test_peer.h"
#include "test_support.h"
#include "vxbridge.h"
#include "api_helpers.h"

namespace vxsoak {
namespace {

using vxhostile::RawViewer;
using vxtest::Frame;
using vxtest::RetFrame;
namespace plat = vxb::plat;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Allocator noise allowed on resident memory; descriptors and threads get
// none.
constexpr int64_t kResidentSlackKiB = 2048;
// Rounds run before the "before" figures: first-use allocations (receive
// buffers, thread stacks, socket layer) are not growth.
constexpr int kWarmUp = 5;

struct Counts {
  int commands = 10000;
  int cycles = 1000;
  int accepts = 200;
  int losses = 1000;
};
Counts g_counts;
bool g_judgeResident = !kSanitized;

// ---- host handlers ----------------------------------------------------------

std::atomic<int> g_calls{0};
std::atomic<int> g_callsOutOfOrder{0};
std::atomic<int> g_broken{0};

void ResetCounters() {
  g_calls = 0;
  g_callsOutOfOrder = 0;
  g_broken = 0;
}

// The viewer numbers its calls 0, 1, 2, ... within a phase.
void VXAPI CountCall(const char*, const char* args, CallAnswer* answer) {
  if (std::atoi(args) != g_calls.load()) ++g_callsOutOfOrder;
  std::snprintf(answer->text, sizeof answer->text, "got %s", args);
  ++g_calls;
}

void VXAPI CountBroken() { ++g_broken; }

// ---- helpers ------------------------------------------------------------------

bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 30000) {
  return vxtest::WaitUntil(cond, timeoutMs);
}

std::string LastResponse() { return vxtest::LastResponseText(); }



// Figures once the library is idle. Threads the library joined and sockets
// it closed are gone at once; the short wait only covers what the system
// finishes on its own after a close.
ProcessFigures SettledAfter(const ProcessFigures& before) {
  ProcessFigures now = MeasureProcess();
  for (int i = 0; i < 200 && (now.descriptors > before.descriptors || now.threads > before.threads);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = MeasureProcess();
  }
  return now;
}

void Report(const char* phase, int count, const ProcessFigures& b, const ProcessFigures& a) {
  std::printf("[soak] %-24s x%-6d %s %" PRId64 " -> %" PRId64 " | threads %" PRId64 " -> %" PRId64
              " | %s %" PRId64 " KiB -> %" PRId64 " KiB (%+" PRId64 " KiB)%s\n",
              phase, count, DescriptorWord(), b.descriptors, a.descriptors, b.threads, a.threads,
              ResidentWord(), b.residentKiB, a.residentKiB, a.residentKiB - b.residentKiB,
              g_judgeResident ? "" : " [resident memory not judged]");
  std::fflush(stdout);
}

void ExpectNoGrowth(const ProcessFigures& b, const ProcessFigures& a) {
  ASSERT_GE(b.descriptors, 0);
  ASSERT_GE(b.threads, 0);
  EXPECT_LE(a.descriptors, b.descriptors + SystemCountSlack()) << DescriptorWord() << " grew";
  EXPECT_LE(a.threads, b.threads + SystemCountSlack()) << "threads grew";
  if (g_judgeResident) {
    EXPECT_LE(a.residentKiB, b.residentKiB + kResidentSlackKiB) << ResidentWord() << " grew";
  }
}

// ---- phases -------------------------------------------------------------------

// n commands on one connection; the viewer makes a call of its own after
// every tenth answer.
void CommandsOnOneConnection(int n) {
  ResetCounters();
  RawViewer viewer;
  const uint16_t port = viewer.Listen();
  ASSERT_NE(port, 0);
  ASSERT_EQ(VxConnectA("127.0.0.1", port, 0, CountCall, CountBroken), 0);
  ASSERT_TRUE(viewer.Accept());
  const int calls = n / 10;
  std::atomic<int> commandsSeen{0};
  std::atomic<int> commandsOutOfOrder{0};
  std::atomic<int> answersToCalls{0};
  std::atomic<int> answersWrong{0};
  viewer.Run([&](RawViewer& v) {
    std::string m;
    for (int i = 0; i < n + calls + 1 && v.ReadMessage(&m, 60000); ++i) {
      if (m.compare(0, 4, "RET ") == 0) {
        const std::string text = "got " + std::to_string(answersToCalls.load());
        if (m != "RET 0," + std::to_string(text.size()) + "," + text) ++answersWrong;
        ++answersToCalls;
        continue;
      }
      const int k = commandsSeen.load();
      if (m != "EXE Cmd(" + std::to_string(k) + ")\n") ++commandsOutOfOrder;
      std::string out = RetFrame(0, "r" + std::to_string(k));
      if (k % 10 == 9) out += Frame("EXE Note(" + std::to_string(k / 10) + ")\n");
      ++commandsSeen;
      if (!v.Send(out)) break;
    }
  });
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    const std::string k = std::to_string(i);
    if (VxSendCmdA("Cmd", k.c_str()) != 0 || LastResponse() != "r" + k) ++failed;
  }
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(WaitFor([&] { return g_calls.load() >= calls && answersToCalls.load() >= calls; }));
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(commandsSeen, n) << "every command reached the viewer exactly once";
  EXPECT_EQ(commandsOutOfOrder, 0);
  EXPECT_EQ(g_calls, calls) << "every call reached the handler exactly once";
  EXPECT_EQ(g_callsOutOfOrder, 0);
  EXPECT_EQ(answersToCalls, calls) << "every call was answered exactly once";
  EXPECT_EQ(answersWrong, 0);
  EXPECT_EQ(g_broken, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
}

// n connections, each with one command and one call, ended by the host.
void ConnectDisconnectCycles(int n) {
  ResetCounters();
  RawViewer viewer;
  const uint16_t port = viewer.Listen();
  ASSERT_NE(port, 0);
  std::atomic<int> served{0};
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  viewer.Run([&](RawViewer& v) {
    std::string m;
    for (int c = 0; c < n && v.Accept(60000); ++c) {
      if (!v.ReadMessage(&m, 60000) || m != "EXE Cycle(" + std::to_string(c) + ")\n") ++wrong;
      v.Send(RetFrame(0, "c" + std::to_string(c)) + Frame("EXE Hi(" + std::to_string(c) + ")\n"));
      const std::string text = "got " + std::to_string(c);
      if (!v.ReadMessage(&m, 60000) || m != "RET 0," + std::to_string(text.size()) + "," + text) {
        ++wrong;
      }
      ++answered;
      v.WaitHostClosed(60000);
      v.Close();
      ++served;
    }
  });
  int failed = 0;
  int brokenFlags = 0;
  for (int c = 0; c < n; ++c) {
    const std::string k = std::to_string(c);
    if (VxConnectA("127.0.0.1", port, 0, CountCall, CountBroken) != 0) {
      ++failed;
      break;
    }
    if (VxSendCmdA("Cycle", k.c_str()) != 0 || LastResponse() != "c" + k) ++failed;
    // The host leaves once its answer to the viewer's call is through.
    if (!WaitFor([&answered, c] { return answered.load() == c + 1; })) ++failed;
    if (VxDisconnect() != 0) ++failed;
    if (g_broken.load() != c + 1) ++failed;  // the disconnect waits for the handler
    brokenFlags += VxIsConnectionBroken();
  }
  viewer.Join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(served, n);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(g_calls, n);
  EXPECT_EQ(g_callsOutOfOrder, 0);
  EXPECT_EQ(g_broken, n);
  EXPECT_EQ(brokenFlags, n);
}

// n viewers accepted one after another on one listening socket, each with
// one petition; each viewer leaves by itself.
void ServerAcceptCycles(uint16_t port, int n) {
  int failed = 0;
  int ends = 0;
  for (int a = 0; a < n; ++a) {
    RawViewer viewer;
    if (!viewer.ConnectTo(port) || !WaitFor([] { return VxAccept() == 0; })) {
      ++failed;
      break;
    }
    const std::string call = "EXE Ping(" + std::to_string(a) + ")\n";
    std::string m;
    if (!viewer.Send(Frame(call)) || !WaitFor([] { return VxAvailableBytes() > 0; }) ||
        vxtest::Petition() != call || VxSendAck() != 0 || !viewer.ReadMessage(&m) ||
        m != "RET 0,6,OK_ACK") {
      ++failed;
    }
    viewer.Close();
    if (WaitFor([] { return VxIsConnectionBroken() != 0; })) ++ends;
    if (VxAvailableBytes() != -1) ++failed;
  }
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(ends, n) << "every viewer's end was seen exactly once";
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0) << "no petition left over";
  EXPECT_EQ(VxDisconnect(), 0);
}

// n connections lost because the viewer closed them, each after one call;
// the host reconnects without a VxDisconnect in between.
void LostConnections(int n) {
  ResetCounters();
  RawViewer viewer;
  const uint16_t port = viewer.Listen();
  ASSERT_NE(port, 0);
  int failed = 0;
  int brokenFlags = 0;
  for (int l = 0; l < n; ++l) {
    if (VxConnectA("127.0.0.1", port, 0, CountCall, CountBroken) != 0 || !viewer.Accept()) {
      ++failed;
      break;
    }
    const std::string text = "got " + std::to_string(l);
    std::string m;
    if (!viewer.Send(Frame("EXE Bye(" + std::to_string(l) + ")\n")) || !viewer.ReadMessage(&m) ||
        m != "RET 0," + std::to_string(text.size()) + "," + text) {
      ++failed;
    }
    viewer.Close();
    if (!WaitFor([l] { return g_broken.load() == l + 1; })) ++failed;
    brokenFlags += VxIsConnectionBroken();
  }
  // Collects the threads of the last lost connection; reports nothing new.
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(g_calls, n);
  EXPECT_EQ(g_callsOutOfOrder, 0);
  EXPECT_EQ(g_broken, n);
  EXPECT_EQ(brokenFlags, n);
}

// ---- the soak -----------------------------------------------------------------

TEST(Soak, CommandsOnOneConnection) {
  CommandsOnOneConnection(kWarmUp * 10);
  const ProcessFigures before = MeasureProcess();
  CommandsOnOneConnection(g_counts.commands);
  const ProcessFigures after = SettledAfter(before);
  Report("commands", g_counts.commands, before, after);
  ExpectNoGrowth(before, after);
}

TEST(Soak, ConnectDisconnectCycles) {
  ConnectDisconnectCycles(kWarmUp);
  const ProcessFigures before = MeasureProcess();
  ConnectDisconnectCycles(g_counts.cycles);
  const ProcessFigures after = SettledAfter(before);
  Report("connect/disconnect", g_counts.cycles, before, after);
  ExpectNoGrowth(before, after);
}

TEST(Soak, ServerAcceptCycles) {
  const uint16_t port = vxtest::FreeLoopbackPort();
  ASSERT_EQ(VxConnectAsServer(port, 0), 0);
  ServerAcceptCycles(port, kWarmUp);
  // Measured while listening: the listening socket belongs to both figures.
  const ProcessFigures before = MeasureProcess();
  ServerAcceptCycles(port, g_counts.accepts);
  const ProcessFigures after = SettledAfter(before);
  Report("server accepts", g_counts.accepts, before, after);
  ExpectNoGrowth(before, after);
}

TEST(Soak, LostConnections) {
  LostConnections(kWarmUp);
  const ProcessFigures before = MeasureProcess();
  LostConnections(g_counts.losses);
  const ProcessFigures after = SettledAfter(before);
  Report("lost connections", g_counts.losses, before, after);
  ExpectNoGrowth(before, after);
}

bool TakeCount(const char* arg, const char* name, int* value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return false;
  *value = std::atoi(arg + n);
  return true;
}

}  // namespace
}  // namespace vxsoak

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using vxsoak::g_counts;
  if (const char* d = std::getenv("VXB_SOAK_DIVISOR"); d != nullptr && std::atoi(d) > 1) {
    const int divisor = std::atoi(d);
    g_counts.commands /= divisor;
    g_counts.cycles /= divisor;
    g_counts.accepts /= divisor;
    g_counts.losses /= divisor;
  }
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (vxsoak::TakeCount(a, "--commands=", &g_counts.commands) ||
        vxsoak::TakeCount(a, "--cycles=", &g_counts.cycles) ||
        vxsoak::TakeCount(a, "--accepts=", &g_counts.accepts) ||
        vxsoak::TakeCount(a, "--losses=", &g_counts.losses)) {
      continue;
    }
    if (std::strcmp(a, "--no-resident-check") == 0) {
      vxsoak::g_judgeResident = false;
      continue;
    }
    std::fprintf(stderr, "unknown argument: %s\n", a);
    return 2;
  }
  std::printf("[soak] counts: %d commands, %d connect/disconnect cycles, %d server accepts, "
              "%d lost connections\n",
              g_counts.commands, g_counts.cycles, g_counts.accepts, g_counts.losses);
  std::fflush(stdout);
  return RUN_ALL_TESTS();
}
