// Soak: the library driven for a long time in each way a host uses it, and
// left as it was found. Every phase measures the process before and after
// (open descriptors, threads, resident memory) and counts that every call
// of the viewer and every end of a connection reached the host exactly
// once.
//
// Counts: 10,000 commands, 1,000 connect/disconnect cycles, 200 server-mode
// accept cycles, 1,000 lost connections. VXB_SOAK_DIVISOR=d divides all of
// them; --commands=N, --cycles=N, --accepts=N and --losses=N set one each.
// --no-resident-check reports resident memory without judging it (under
// valgrind it is valgrind's own); sanitizer builds skip that check too.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host_fixture.h"
#include "process_probe.h"

namespace vxtest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool g_judgeResident = false;
#else
bool g_judgeResident = true;
#endif

struct Counts {
  int commands = 10000;
  int cycles = 1000;
  int accepts = 200;
  int losses = 1000;
} g_counts;

// The host answers each call "got <args>"; the viewer numbers its calls
// 0, 1, 2, ... within a phase.
void StartPhase() {
  ResetLog();
  SetCallBehaviour([](const char*, const char* args, CallAnswer* answer) {
    std::snprintf(answer->text, sizeof answer->text, "got %s", args);
  });
}
std::string AnswerTo(int n) {
  const std::string text = "got " + std::to_string(n);
  return "RET 0," + std::to_string(text.size()) + "," + text;
}
// Every call reached the handler once, in order.
void ExpectCallsInOrder(const char* name, int n) {
  const std::vector<std::string> seen = SeenCalls();
  ASSERT_EQ(seen.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) ASSERT_EQ(seen[i], std::string(name) + "|" + std::to_string(i));
}

// Runs phase a few rounds to warm up (first-use allocations are not
// growth), then count rounds between two measurements. Descriptors and
// threads may not grow; resident memory gets allocator slack.
void Soak(const char* name, int count, const std::function<void(int)>& phase) {
  phase(5);
  const vxsoak::ProcessFigures b = vxsoak::MeasureProcess();
  phase(count);
  // Threads the library joined and sockets it closed are gone at once; the
  // wait only covers what the system finishes on its own after a close.
  vxsoak::ProcessFigures a = vxsoak::MeasureProcess();
  for (int i = 0; i < 200 && (a.descriptors > b.descriptors || a.threads > b.threads); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    a = vxsoak::MeasureProcess();
  }
  std::printf("[soak] %-20s x%-6d %s %" PRId64 " -> %" PRId64 " | threads %" PRId64 " -> %" PRId64
              " | %s %" PRId64 " -> %" PRId64 " KiB%s\n",
              name, count, vxsoak::DescriptorWord(), b.descriptors, a.descriptors, b.threads,
              a.threads, vxsoak::ResidentWord(), b.residentKiB, a.residentKiB,
              g_judgeResident ? "" : " [resident memory not judged]");
  std::fflush(stdout);
  ASSERT_GE(b.descriptors, 0);
  ASSERT_GE(b.threads, 0);
  EXPECT_LE(a.descriptors, b.descriptors + vxsoak::SystemCountSlack()) << "descriptors grew";
  EXPECT_LE(a.threads, b.threads + vxsoak::SystemCountSlack()) << "threads grew";
  EXPECT_TRUE(!g_judgeResident || a.residentKiB <= b.residentKiB + 2048) << "resident memory grew";
}

// n commands on one connection; the viewer makes a call of its own after
// every tenth answer.
TEST(Soak, CommandsOnOneConnection) {
  Soak("commands", g_counts.commands, [](int n) {
    StartPhase();
    ScriptPeer viewer;
    ASSERT_EQ(VxConnectA("127.0.0.1", viewer.Listen(), 0, LogCall, LogBroken), 0);
    ASSERT_TRUE(viewer.Accept());
    const int calls = n / 10;
    std::atomic<int> commands{0};
    std::atomic<int> answers{0};
    std::atomic<int> wrong{0};
    viewer.Run([&](TestPeer& v) {
      std::string m;
      for (int i = 0; i < n + calls && v.NextMessage(&m, 60000); ++i) {
        if (m.compare(0, 4, "RET ") == 0) {
          if (m != AnswerTo(answers++)) ++wrong;
          continue;
        }
        const int k = commands++;
        if (m != "EXE Cmd(" + std::to_string(k) + ")\n") ++wrong;
        std::string out = RetFrame(0, "r" + std::to_string(k));
        if (k % 10 == 9) out += Frame("EXE Note(" + std::to_string(k / 10) + ")\n");
        if (!v.SendRaw(out)) break;
      }
    });
    int failed = 0;
    for (int i = 0; i < n; ++i) {
      const std::string k = std::to_string(i);
      if (VxSendCmdA("Cmd", k.c_str()) != 0 || LastResponseText() != "r" + k) ++failed;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(WaitUntil([&] { return answers.load() >= calls; }, 30000));
    EXPECT_EQ(VxDisconnect(), 0);
    viewer.Join();
    EXPECT_EQ(commands, n) << "every command reached the viewer exactly once";
    EXPECT_EQ(answers, calls) << "every call was answered exactly once";
    EXPECT_EQ(wrong, 0);
    ExpectCallsInOrder("Note", calls);
    EXPECT_EQ(Log().broken, 1);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
  });
}

// n connections, each with one command and one call, ended by the host;
// or (lost) ended by the viewer after one call, the host reconnecting
// without a VxDisconnect in between.
TEST(Soak, ConnectDisconnectCyclesAndLostConnections) {
  for (const bool lost : {false, true}) {
    Soak(lost ? "lost connections" : "connect/disconnect", lost ? g_counts.losses : g_counts.cycles,
         [lost](int n) {
           StartPhase();
           ScriptPeer viewer;
           const uint16_t p = viewer.Listen();
           int failed = 0;
           int brokenFlags = 0;
           for (int c = 0; c < n; ++c) {
             const std::string k = std::to_string(c);
             std::string m;
             if (VxConnectA("127.0.0.1", p, 0, LogCall, LogBroken) != 0 || !viewer.Accept()) {
               ++failed;
               break;
             }
             if (!lost) {
               viewer.Run([k](TestPeer& v) {
                 std::string cmd;
                 if (v.NextMessage(&cmd) && cmd == "EXE Cycle(" + k + ")\n") {
                   v.SendRaw(RetFrame(0, "c" + k));
                 }
               });
               if (VxSendCmdA("Cycle", k.c_str()) != 0 || LastResponseText() != "c" + k) ++failed;
               viewer.Join();
             }
             if (!viewer.SendFrame("EXE Hi(" + k + ")\n") || !viewer.NextMessage(&m) || m != AnswerTo(c)) {
               ++failed;
             }
             if (lost) {
               viewer.Close();
               if (!WaitUntil([c] { return Log().broken.load() == c + 1; })) ++failed;
             } else if (VxDisconnect() != 0 || Log().broken.load() != c + 1 || !viewer.WaitClosedByHost()) {
               ++failed;  // the disconnect waits for the BrokenHandler
             }
             brokenFlags += VxIsConnectionBroken();
             viewer.Close();
           }
           EXPECT_EQ(VxDisconnect(), 0);  // collects the threads of a lost connection
           EXPECT_EQ(failed, 0);
           ExpectCallsInOrder("Hi", n);
           EXPECT_EQ(Log().broken, n);
           EXPECT_EQ(brokenFlags, n);
         });
  }
}

// n viewers accepted one after another on one listening socket, each with
// one petition; each viewer leaves by itself. Measured while listening:
// the listening socket belongs to both figures.
TEST(Soak, ServerAcceptCycles) {
  const uint16_t p = FreeLoopbackPort();
  ASSERT_EQ(VxConnectAsServer(p, 0), 0);
  Soak("server accepts", g_counts.accepts, [p](int n) {
    int failed = 0;
    int ends = 0;
    for (int a = 0; a < n; ++a) {
      ScriptPeer viewer;
      if (!viewer.ConnectTo(p) || !WaitUntil([] { return VxAccept() == 0; })) {
        ++failed;
        break;
      }
      const std::string call = "EXE Ping(" + std::to_string(a) + ")\n";
      std::string m;
      if (!viewer.SendFrame(call) || !WaitUntil([] { return VxAvailableBytes() > 0; }) ||
          Petition() != call || VxSendAck() != 0 || !viewer.NextMessage(&m) || m != "RET 0,6,OK_ACK") {
        ++failed;
      }
      viewer.Close();
      if (WaitUntil([] { return VxIsConnectionBroken() != 0; })) ++ends;
      if (VxAvailableBytes() != -1) ++failed;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(ends, n) << "every viewer's end was seen exactly once";
    CallRecord record;
    EXPECT_EQ(VxRecvCmd(&record), 0) << "no petition left over";
  });
  EXPECT_EQ(VxDisconnect(), 0);
}

}  // namespace
}  // namespace vxtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto& c = vxtest::g_counts;
  const std::pair<const char*, int*> options[] = {
      {"--commands=", &c.commands}, {"--cycles=", &c.cycles}, {"--accepts=", &c.accepts}, {"--losses=", &c.losses}};
  const char* d = std::getenv("VXB_SOAK_DIVISOR");
  for (const auto& o : options) *o.second /= std::max(1, d == nullptr ? 1 : std::atoi(d));
  for (int i = 1; i < argc; ++i) {
    bool known = std::strcmp(argv[i], "--no-resident-check") == 0;
    if (known) vxtest::g_judgeResident = false;
    for (const auto& o : options) {
      if (known || std::strncmp(argv[i], o.first, std::strlen(o.first)) != 0) continue;
      *o.second = std::atoi(argv[i] + std::strlen(o.first));
      known = true;
    }
    if (!known) {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("[soak] counts: %d commands, %d connect/disconnect cycles, %d server accepts, %d lost connections\n",
              c.commands, c.cycles, c.accepts, c.losses);
  return RUN_ALL_TESTS();
}
