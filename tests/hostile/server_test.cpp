// Server mode against hostile viewers: the host listens and each viewer
// connects to it.
#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "hostile_fixture.h"
#include "test_peer.h"
#include "api_helpers.h"

namespace vxhostile {
namespace {

using vxtest::Frame;
namespace plat = vxb::plat;



class HostileServer : public Hostile {
 protected:
  uint16_t port = 0;
  void SetUp() override {
    Hostile::SetUp();
    port = vxtest::FreeLoopbackPort();
    ASSERT_EQ(VxConnectAsServer(port, 0), 0);
  }
  void Attach(RawViewer& viewer) {
    ASSERT_TRUE(viewer.ConnectTo(port));
    ASSERT_TRUE(WaitFor([] { return VxAccept() == 0; }));
  }
  // A well-behaved viewer on the same listening socket: one petition, one
  // answer.
  void ExpectNextViewerServed(const std::string& call) {
    RawViewer good;
    Attach(good);
    ASSERT_TRUE(good.Send(Frame(call)));
    ASSERT_TRUE(WaitFor([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(vxtest::Petition(), call);
    ASSERT_EQ(VxSendAck(), 0);
    std::string m;
    ASSERT_TRUE(good.ReadMessage(&m));
    EXPECT_EQ(m, "RET 0,6,OK_ACK");
  }
};

TEST_F(HostileServer, AHugePrefixEndsOnlyThatViewer) {
  {
    RawViewer bad;
    Attach(bad);
    ASSERT_TRUE(bad.Send(FrameDeclaring(0xFFFFFFFFu, "EXE X()\n")));
    EXPECT_TRUE(bad.WaitHostClosed());
    ASSERT_TRUE(WaitFor([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("EXE Move(1,2)\n");
}

TEST_F(HostileServer, JunkBeforeAPetitionIsSkipped) {
  RawViewer viewer;
  Attach(viewer);
  std::string junk;
  for (const std::string& m : {std::string(), std::string("AB"), std::string("ABCD"),
                               std::string("ret 0,2,OK"), std::string("RET 0,2,OK"),
                               std::string("RET x"), std::string(3000, 'j')}) {
    junk += Frame(m);
  }
  ASSERT_TRUE(viewer.Send(junk + Frame("SYS HI\n")));
  ASSERT_TRUE(WaitFor([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(VxAvailableBytes(), 7);
  EXPECT_EQ(vxtest::Petition(), "SYS HI\n");
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0);  // nothing else became a petition
  ASSERT_EQ(VxSendAck(), 0);
  std::string m;
  ASSERT_TRUE(viewer.ReadMessage(&m));
  EXPECT_EQ(m, "RET 0,6,OK_ACK");
}

TEST_F(HostileServer, APetitionInOneByteSegments) {
  RawViewer viewer;
  Attach(viewer);
  ASSERT_TRUE(viewer.SendPieces(Frame("EXE Slowly(a,b)\n"), 1, 1));
  ASSERT_TRUE(WaitFor([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(vxtest::Petition(), "EXE Slowly(a,b)\n");
  ASSERT_EQ(VxSendRetStrA(0, "done"), 0);
  std::string m;
  ASSERT_TRUE(viewer.ReadMessage(&m));
  EXPECT_EQ(m, "RET 0,4,done");
}

TEST_F(HostileServer, ViewerLeavesWhileAcceptReplacesIt) {
  constexpr int kRounds = 20;
  std::mt19937 rng(11);
  for (int round = 0; round < kRounds; ++round) {
    RawViewer first;
    Attach(first);
    RawViewer second;
    ASSERT_TRUE(second.ConnectTo(port));
    const int delayUs = static_cast<int>(rng() % 3000);
    const bool reset = rng() % 2 == 0;
    std::thread leaver([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      if (reset) {
        first.Reset();
      } else {
        first.Close();
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    ASSERT_TRUE(WaitFor([] { return VxAccept() == 0; })) << "round " << round;
    leaver.join();
    // The first viewer's end was handled exactly once, and the second one
    // is the connected viewer now.
    EXPECT_EQ(VxIsConnectionBroken(), 1) << "round " << round;
    EXPECT_EQ(VxIsConnectionBroken(), 0) << "round " << round;
    const std::string call = "EXE Round(" + std::to_string(round) + ")\n";
    ASSERT_TRUE(second.Send(Frame(call)));
    ASSERT_TRUE(WaitFor([] { return VxAvailableBytes() > 0; })) << "round " << round;
    EXPECT_EQ(vxtest::Petition(), call);
    ASSERT_EQ(VxSendAck(), 0);
    std::string m;
    ASSERT_TRUE(second.ReadMessage(&m)) << "round " << round;
    EXPECT_EQ(m, "RET 0,6,OK_ACK");
    second.Close();
    ASSERT_TRUE(WaitFor([] { return VxIsConnectionBroken() != 0; })) << "round " << round;
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("SYS LAST\n");
}

TEST_F(HostileServer, AnswersToAViewerThatLeftFailWithACode) {
  for (bool reset : {false, true}) {
    RawViewer viewer;
    Attach(viewer);
    ASSERT_TRUE(viewer.Send(Frame("EXE Ask()\n")));
    ASSERT_TRUE(WaitFor([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(vxtest::Petition(), "EXE Ask()\n");
    if (reset) {
      viewer.Reset();
    } else {
      viewer.Close();
    }
    // Answers race the library noticing the end: each one is sent or
    // refused, never lost silently as a success after the end was seen.
    int sent = 0;
    bool refused = false;
    for (int i = 0; i < 10000 && !refused; ++i) {
      const int rc = VxSendRetStrA(0, "late");
      ASSERT_TRUE(rc == 0 || rc == VX_E_NOT_CONNECTED || rc == VX_E_COMMUNICATION_BROKEN) << rc;
      if (rc == 0) ++sent;
      refused = rc != 0;
      if (!refused) plat::SleepMs(1);
    }
    EXPECT_TRUE(refused) << sent << " answers went out to a viewer that had left";
    ASSERT_TRUE(WaitFor([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxSendAck(), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxSendRaw("x", 1), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  ExpectNextViewerServed("EXE Again()\n");
}

TEST_F(HostileServer, AFloodOfPetitionsIsTakenInOrder) {
  constexpr int kFlood = 20000;
  RawViewer viewer;
  Attach(viewer);
  std::string burst;
  for (int i = 0; i < kFlood; ++i) burst += Frame("EXE N(" + std::to_string(i) + ")\n");
  int answers = 0;
  int wrong = 0;
  viewer.Run([&](RawViewer& v) {
    v.Send(burst);
    std::string m;
    for (int i = 0; i < kFlood && v.ReadMessage(&m, 60000); ++i) {
      if (m != "RET " + std::to_string(i % 100) + ",0,") ++wrong;
      ++answers;
    }
  });
  CallRecord record;
  int taken = 0;
  int outOfOrder = 0;
  for (int tries = 0; taken < kFlood && tries < 600000; ++tries) {
    if (VxRecvCmd(&record) == 0) {
      plat::SleepMs(1);
      continue;
    }
    if (std::atoi(record.args) != taken) ++outOfOrder;
    ASSERT_EQ(VxSendRetCmd(taken % 100, nullptr, 0), 0);
    ++taken;
  }
  viewer.Join();
  EXPECT_EQ(taken, kFlood);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(answers, kFlood);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(VxRecvCmd(&record), 0);
}

}  // namespace
}  // namespace vxhostile
