// Soak: the library driven for a long time in each way a host uses it, and
// left as it was found. Every phase measures the process before and after
// (open descriptors, threads, resident memory, heap) and counts that every call
// of the viewer and every end of a connection reached the host exactly
// once.
//
// Counts: 10,000 commands, 1,000 connect/disconnect cycles, 200 server-mode
// accept cycles, 1,000 lost connections. VXB_SOAK_DIVISOR=d divides all of
// them; --commands=N, --cycles=N, --accepts=N and --losses=N set one each.
// --no-resident-check reports resident memory without judging it (under
// valgrind it is valgrind's own) and the heap; sanitizer builds skip those
// checks too.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_fixture.h"
#include "process_probe.h"

namespace vxtest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool g_judgeResident = false;
#else
bool g_judgeResident = true;
#endif
int g_commands = 10000, g_cycles = 1000, g_accepts = 200, g_losses = 1000;

std::string AnswerTo(int n) {
  const std::string text = "got " + std::to_string(n);
  return "RET 0," + std::to_string(text.size()) + "," + text;
}
// The viewer's calls "name(0)", "name(1)", ... reached the handler once each,
// in order, and every end of a connection the BrokenHandler.
void ExpectCallsAndEnds(const char* name, int calls, int ends) {
  std::vector<std::string> expected;
  for (int i = 0; i < calls; ++i) expected.push_back(std::string(name) + "|" + std::to_string(i));
  EXPECT_EQ(SeenCalls(), expected);
  EXPECT_EQ(Log().broken, ends);
}

// Runs phase a few rounds to warm up (first-use allocations are not
// growth), then count rounds between two measurements. Descriptors and
// threads may not grow; resident memory gets allocator slack, the heap a
// little for the allocator's and stdio's own (a leak of a few dozen bytes a
// round is past it). The threads of an ended connection finish on their
// own within moments, and the system finishes a close on its own: the
// wait covers both.
void Soak(const char* name, int count, const std::function<void(int)>& phase) {
  phase(5);
  ResetLog();
  const vxsoak::ProcessFigures b = vxsoak::MeasureProcess();
  phase(count);
  ResetLog();
  vxsoak::ProcessFigures a;
  WaitUntil([&] {
    a = vxsoak::MeasureProcess();
    return a.descriptors <= b.descriptors && a.threads <= b.threads;
  }, 2000);
  std::printf("[soak] %-18s x%-6d handles %lld -> %lld | threads %lld -> %lld | resident %lld -> %lld KiB | heap %lld -> "
              "%lld B%s\n", name, count, b.descriptors, a.descriptors, b.threads, a.threads, b.residentKiB, a.residentKiB,
              b.heapBytes, a.heapBytes, g_judgeResident ? "" : " [not judged]");
  ASSERT_TRUE(b.descriptors >= 0 && b.threads >= 0) << "nothing measured";
  EXPECT_LE(a.descriptors, b.descriptors + vxtest::kSystemThreads) << "descriptors grew";
  EXPECT_LE(a.threads, b.threads + vxtest::kSystemThreads) << "threads grew";
  EXPECT_TRUE(!g_judgeResident || a.residentKiB <= b.residentKiB + 2048) << "resident memory grew";
  EXPECT_TRUE(!g_judgeResident || a.heapBytes <= b.heapBytes + 8192) << "heap grew";
}

// n commands on one connection; the viewer makes a call of its own after
// every tenth answer.
TEST(Soak, CommandsOnOneConnection) {
  Soak("commands", g_commands, [](int n) {
    ResetLog();
    ScriptPeer viewer;
    ASSERT_EQ(VxConnectA("127.0.0.1", viewer.Listen(), 0, LogCall, LogBroken), 0);
    ASSERT_TRUE(viewer.Accept());
    const int calls = n / 10;
    std::atomic<int> commands{0}, answers{0}, wrong{0};
    viewer.Run([&](TestPeer& v) {
      std::string m;
      for (int i = 0; i < n + calls && v.NextMessage(&m, 60000); ++i) {
        if (m.compare(0, 4, "RET ") == 0) {
          wrong += m != AnswerTo(answers++);
          continue;
        }
        const int k = commands++;
        wrong += m != "EXE Cmd(" + std::to_string(k) + ")\n";
        std::string out = RetFrame(0, "r" + std::to_string(k));
        if (k % 10 == 9) out += Frame("EXE Note(" + std::to_string(k / 10) + ")\n");
        if (!v.SendRaw(out)) break;
      }
    });
    for (int i = 0; i < n; ++i) {
      const std::string k = std::to_string(i);
      wrong += VxSendCmdA("Cmd", k.c_str()) != 0 || LastResponseText() != "r" + k;
    }
    EXPECT_TRUE(WaitUntil([&] { return answers.load() >= calls; }, 30000));
    EXPECT_EQ(VxDisconnect(), 0);
    viewer.Join();
    EXPECT_EQ(commands, n) << "every command reached the viewer exactly once";
    EXPECT_EQ(answers, calls) << "every call was answered exactly once";
    EXPECT_EQ(wrong, 0);
    ExpectCallsAndEnds("Note", calls, 1);
    EXPECT_EQ(VxIsConnectionBroken(), 1);
  });
}

// n connections (every other one through the W twin), each with one
// command and one call, ended by the host; or (lost) ended by the viewer
// after one call, in the middle of an answer nobody asked for, the host
// reconnecting without a VxDisconnect in between.
TEST(Soak, ConnectDisconnectCyclesAndLostConnections) {
  for (const bool lost : {false, true}) {
    Soak(lost ? "lost connections" : "connect/disconnect", lost ? g_losses : g_cycles, [lost](int n) {
      ResetLog();
      ScriptPeer viewer;
      const uint16_t p = viewer.Listen();
      int failed = 0, brokenFlags = 0;
      const VxWChar wideHost[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0};
      for (int c = 0; c < n &&
                      (c % 2 ? VxConnectW(wideHost, p, 0, LogCall, LogBroken)
                             : VxConnectA("127.0.0.1", p, 0, LogCall, LogBroken)) == 0 &&
                      viewer.Accept();
           ++c) {
        const std::string k = std::to_string(c);
        std::string m;
        if (!lost) {
          viewer.Run([k](TestPeer& v) {
            std::string cmd;
            if (v.NextMessage(&cmd) && cmd == "EXE Cycle(" + k + ")\n") v.SendRaw(RetFrame(0, "c" + k));
          });
          failed += VxSendCmdA("Cycle", k.c_str()) != 0 || LastResponseText() != "c" + k;
          viewer.Join();
        }
        failed += !viewer.SendFrame("EXE Hi(" + k + ")\n") || !viewer.NextMessage(&m) || m != AnswerTo(c);
        if (lost) {
          viewer.SendRaw(RetFrame(0, "cut short").substr(0, 12));
          viewer.Close();
        }
        // The BrokenHandler runs on the connection's thread, also after a
        // disconnect, which does not wait for it.
        if (!lost) failed += VxDisconnect() != 0 || !viewer.WaitClosedByHost();
        failed += !WaitUntil([c] { return Log().broken.load() == c + 1; });
        brokenFlags += VxIsConnectionBroken();
        viewer.Close();
      }
      EXPECT_EQ(VxDisconnect(), 0);
      EXPECT_EQ(failed, 0);
      ExpectCallsAndEnds("Hi", n, n);
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
  Soak("server accepts", g_accepts, [p](int n) {
    int ends = 0;
    for (int a = 0; a < n; ++a) {
      ScriptPeer viewer;
      ASSERT_TRUE(viewer.ConnectTo(p) && WaitUntil([] { return VxAccept() == 0; }));
      const std::string call = "EXE Ping(" + std::to_string(a) + ")\n";
      std::string m;
      EXPECT_TRUE(viewer.SendFrame(call) && WaitUntil([] { return VxAvailableBytes() > 0; }) &&
                  Petition() == call && VxSendAck() == 0 && viewer.NextMessage(&m) && m == "RET 0,6,OK_ACK");
      viewer.Close();
      ends += WaitUntil([] { return VxIsConnectionBroken() != 0; });
      EXPECT_EQ(VxAvailableBytes(), -1);
    }
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
  using namespace vxtest;
  // The host answers each call "got <args>".
  SetCallBehaviour([](const char*, const char* args, CallAnswer* answer) {
    std::snprintf(answer->text, sizeof answer->text, "got %s", args);
  });
  const char* d = std::getenv("VXB_SOAK_DIVISOR");
  for (int* n : {&g_commands, &g_cycles, &g_accepts, &g_losses}) *n /= std::max(1, d == nullptr ? 1 : std::atoi(d));
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--no-resident-check") == 0) {
      g_judgeResident = false;
    } else if (std::sscanf(a, "--commands=%d", &g_commands) + std::sscanf(a, "--cycles=%d", &g_cycles) +
                   std::sscanf(a, "--accepts=%d", &g_accepts) + std::sscanf(a, "--losses=%d", &g_losses) != 1) {
      std::fprintf(stderr, "unknown argument: %s\n", a);
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
