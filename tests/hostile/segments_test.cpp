// A viewer that cuts its frames into pieces, or stops in the middle of one.
#include <atomic>
#include <string>
#include <thread>

#include "hostile_fixture.h"
#include "test_peer.h"

namespace vxhostile {
namespace {

using vxtest::Frame;
using vxtest::RetFrame;

TEST_F(Hostile, OneByteSegmentsReadAsWholeFrames) {
  RawViewer viewer;
  Connect(viewer);
  std::string callAnswer;
  viewer.Run([&callAnswer](RawViewer& v) {
    std::string m;
    for (int k = 0; k < 3; ++k) {
      if (!v.ReadMessage(&m)) return;
      v.SendPieces(RetFrame(k, "piece " + std::to_string(k) + " of " + m), 1, 1);
    }
    v.SendPieces(Frame("EXE Split(a,(b))\n"), 1, 1);
    if (v.ReadMessage(&m)) callAnswer = m;
  });
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(VxSendCmdA("Seg", std::to_string(k).c_str()), k);
    EXPECT_EQ(LastResponseText(), "piece " + std::to_string(k) + " of EXE Seg(" + std::to_string(k) + ")\n");
  }
  viewer.Join();
  EXPECT_EQ(callAnswer, "RET 0,2,OK");
  ASSERT_EQ(SeenCalls().size(), 1u);
  EXPECT_EQ(SeenCalls()[0], "Split|a,(b)");
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 1);
}

class SplitPrefix : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(SplitPrefix, APrefixInTwoPiecesIsJoined) {
  const size_t cut = static_cast<size_t>(GetParam());
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([cut](RawViewer& v) {
    std::string m;
    if (!v.ReadMessage(&m)) return;
    const std::string answer = RetFrame(4, "joined");
    v.Send(answer.substr(0, cut));
    vxb::plat::SleepMs(30);
    v.Send(answer.substr(cut));
    const std::string call = Frame("SYS PING\n");
    v.Send(call.substr(0, cut));
    vxb::plat::SleepMs(30);
    v.Send(call.substr(cut));
    v.ReadMessage(&m);  // the handler's answer
  });
  EXPECT_EQ(VxSendCmdA("Split", ""), 4);
  EXPECT_EQ(LastResponseText(), "joined");
  viewer.Join();
  ASSERT_EQ(SeenCalls().size(), 1u);
  EXPECT_EQ(SeenCalls()[0], "SYS|PING");
}

INSTANTIATE_TEST_SUITE_P(Cuts, SplitPrefix, ::testing::Values(1, 2, 3));

// Where the viewer stops: inside the prefix, the tag, the answer header or
// the payload of the answer to the waiting command.
struct Cut {
  const char* name;
  std::string bytes;
};

enum class Then { Close, Reset, Silence };

class StopsMidFrame : public Hostile, public ::testing::WithParamInterface<std::tuple<int, Then>> {
 protected:
  static Cut CutAt(int i) {
    const std::string frame = RetFrame(0, "abcdef");  // "RET 0,6,abcdef", 14 bytes
    switch (i) {
      case 0: return {"Prefix", frame.substr(0, 2)};
      case 1: return {"Tag", frame.substr(0, 4 + 2)};
      case 2: return {"Header", frame.substr(0, 4 + 6)};
      default: return {"Payload", frame.substr(0, 4 + 10)};
    }
  }
};

TEST_P(StopsMidFrame, TheWaitingCommandReturnsMinus6) {
  const Cut cut = CutAt(std::get<0>(GetParam()));
  const Then then = std::get<1>(GetParam());
  RawViewer viewer;
  Connect(viewer);
  std::atomic<bool> sent{false};
  viewer.Run([&](RawViewer& v) {
    std::string m;
    if (!v.ReadMessage(&m)) return;
    v.Send(cut.bytes);
    vxb::plat::SleepMs(20);
    sent = true;
    if (then == Then::Close) v.Close();
    if (then == Then::Reset) v.Reset();
    if (then == Then::Silence) v.WaitHostClosed();
  });
  std::thread other;
  if (then == Then::Silence) {
    // The viewer says nothing more: another host thread gives up.
    other = std::thread([&sent] {
      WaitFor([&sent] { return sent.load(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_EQ(VxDisconnect(), 0);
    });
  }
  EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_COMMUNICATION_BROKEN) << cut.name;
  EXPECT_EQ(LastResponseText(), "") << cut.name;
  if (other.joinable()) other.join();
  viewer.Join();
  ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Log().calls, 0);
}

std::string StopName(const ::testing::TestParamInfo<std::tuple<int, Then>>& p) {
  static const char* const kThen[] = {"Close", "Reset", "Silence"};
  static const char* const kWhere[] = {"Prefix", "Tag", "Header", "Payload"};
  return std::string(kWhere[std::get<0>(p.param)]) + "_" +
         kThen[static_cast<int>(std::get<1>(p.param))];
}

INSTANTIATE_TEST_SUITE_P(Places, StopsMidFrame,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(Then::Close, Then::Reset,
                                                              Then::Silence)),
                         StopName);

TEST_F(Hostile, ACallCutOffByTheViewerNeverReachesTheHandler) {
  for (bool reset : {false, true}) {
    ResetLog();
    RawViewer viewer;
    Connect(viewer);
    ASSERT_TRUE(viewer.Send(FrameDeclaring(32, "EXE Hal")));
    vxb::plat::SleepMs(20);
    if (reset) {
      viewer.Reset();
    } else {
      viewer.Close();
    }
    ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; })) << reset;
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(Log().calls, 0) << reset;
    CallRecord record;
    EXPECT_EQ(VxRecvCmd(&record), 0) << reset;
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1) << "the disconnect reports no second end";
  }
}

}  // namespace
}  // namespace vxhostile
