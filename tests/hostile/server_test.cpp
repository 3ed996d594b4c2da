// Server mode against hostile viewers: the host listens and each viewer
// connects to it.
#include <random>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

class HostileServer : public Hostile {
 protected:
  void SetUp() override {
    Hostile::SetUp();
    ListenAsServer();
  }
  // One petition and its acknowledgement on an attached viewer.
  static void ExpectServed(TestPeer& viewer, const std::string& call) {
    ASSERT_TRUE(viewer.SendFrame(call));
    ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(Petition(), call);
    ASSERT_EQ(VxSendAck(), 0);
    std::string m;
    ASSERT_TRUE(viewer.NextMessage(&m));
    EXPECT_EQ(m, "RET 0,6,OK_ACK");
  }
  // After a viewer misbehaved, the next one on the listening socket is served.
  void ExpectNextViewerServed(const std::string& call) {
    ScriptPeer good;
    Attach(good);
    ExpectServed(good, call);
  }
};

// A prefix no buffer is made for, or a petition cut off by a reset, ends
// only that viewer.
TEST_F(HostileServer, ABadViewerEndsOnlyItself) {
  const std::string hugePrefix = FrameDeclaring(0xFFFFFFFFu, "EXE X()\n");
  for (const std::string& bytes : {hugePrefix, FrameDeclaring(32, "EXE Hal")}) {
    ScriptPeer bad;
    Attach(bad);
    ASSERT_TRUE(bad.SendRaw(bytes));
    if (bytes == hugePrefix) {
      EXPECT_TRUE(bad.WaitClosedByHost());
    } else {
      vxb::plat::SleepMs(20);
      bad.Reset();
    }
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("EXE Move(1,2)\n");
}

TEST_F(HostileServer, JunkAndSegmentsBeforeAPetition) {
  ScriptPeer viewer;
  Attach(viewer);
  std::string junk;
  for (const std::string& m : std::initializer_list<std::string>{
           "", "AB", "ABCD", "ret 0,2,OK", "RET 0,2,OK", "RET x", std::string(3000, 'j')}) {
    junk += Frame(m);
  }
  ASSERT_TRUE(viewer.SendRaw(junk + Frame("SYS HI\n")));
  ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(VxAvailableBytes(), 7);
  EXPECT_EQ(Petition(), "SYS HI\n");
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0);  // nothing else became a petition
  ASSERT_EQ(VxSendAck(), 0);
  std::string m;
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(m, "RET 0,6,OK_ACK");
  // A petition in one-byte segments.
  ASSERT_TRUE(viewer.SendPieces(Frame("EXE Slowly(a,b)\n"), 1, 1));
  ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(Petition(), "EXE Slowly(a,b)\n");
  ASSERT_EQ(VxSendRetStrA(0, "done"), 0);
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(m, "RET 0,4,done");
}

TEST_F(HostileServer, ViewerLeavesWhileAcceptReplacesIt) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ScriptPeer first;
    Attach(first);
    ScriptPeer second;
    ASSERT_TRUE(second.ConnectTo(listenPort));
    const auto delay = std::chrono::microseconds(rng() % 3000);
    const bool reset = rng() % 2 == 0;
    std::thread leaver([&] {
      std::this_thread::sleep_for(delay);
      reset ? first.Reset() : first.Close();
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    ASSERT_TRUE(WaitUntil([] { return VxAccept() == 0; }));
    leaver.join();
    // The first viewer's end was seen exactly once; the second is connected.
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    ExpectServed(second, "EXE Round(" + std::to_string(round) + ")\n");
    second.Close();
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("SYS LAST\n");
}

TEST_F(HostileServer, AnswersToAViewerThatLeftFailWithACode) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset);
    ScriptPeer viewer;
    Attach(viewer);
    ASSERT_TRUE(viewer.SendFrame("EXE Ask()\n"));
    ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(Petition(), "EXE Ask()\n");
    reset ? viewer.Reset() : viewer.Close();
    // Answers race the library noticing the end: each one is sent or
    // refused, never lost silently as a success after the end was seen.
    int rc = 0;
    for (int i = 0; i < 10000 && rc == 0; ++i) {
      rc = VxSendRetStrA(0, "late");
      if (rc == 0) vxb::plat::SleepMs(1);
    }
    EXPECT_TRUE(rc == VX_E_NOT_CONNECTED || rc == VX_E_COMMUNICATION_BROKEN) << rc;
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxSendAck(), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxSendRaw("x", 1), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("EXE Again()\n");
}

}  // namespace
}  // namespace vxtest
