// A viewer that cuts its frames into pieces (every prefix and header split
// at every byte), or stops in the middle of one.
#include <atomic>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

TEST_F(Hostile, OneByteSegmentsReadAsWholeFrames) {
  ScriptPeer viewer;
  Connect(viewer);
  std::string callAnswer;
  viewer.Run([&callAnswer](TestPeer& v) {
    std::string m;
    for (int k = 0; k < 3; ++k) {
      if (!v.NextMessage(&m)) return;
      v.SendPieces(RetFrame(k, "piece " + std::to_string(k) + " of " + m), 1, 1);
    }
    v.SendPieces(Frame("EXE Split(a,(b))\n"), 1, 1);
    if (v.NextMessage(&m)) callAnswer = m;
  });
  for (int k = 0; k < 3; ++k) {
    const std::string n = std::to_string(k);
    EXPECT_EQ(VxSendCmdA("Seg", n.c_str()), k);
    EXPECT_EQ(LastResponseText(), "piece " + n + " of EXE Seg(" + n + ")\n");
  }
  viewer.Join();
  EXPECT_EQ(callAnswer, "RET 0,2,OK");
  EXPECT_EQ(SeenCalls(), std::vector<std::string>{"Split|a,(b)"});
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 1);
}

// The viewer sends part of the answer to the waiting command (inside the
// prefix, the tag, the header, the payload, or a whole answer whose prefix
// promises more), then closes, resets, or goes silent until another host
// thread disconnects. The command sees the break, never a torn answer.
enum class Then { Close, Reset, Silence };
const char* const kThen[] = {"Close", "Reset", "Silence"};
struct Cut {
  const char* name;
  std::string bytes;
};
const Cut kCuts[] = {
    {"Prefix", RetFrame(0, "abcdef").substr(0, 2)},  // "RET 0,6,abcdef", 14 bytes
    {"Tag", RetFrame(0, "abcdef").substr(0, 4 + 2)},
    {"Header", RetFrame(0, "abcdef").substr(0, 4 + 6)},
    {"Payload", RetFrame(0, "abcdef").substr(0, 4 + 10)},
    {"Declared11", FrameDeclaring(11, "RET 0,2,OK")},
    {"Declared1999999", FrameDeclaring(1999999, "RET 0,2,OK")},
};

class StopsMidFrame : public Hostile, public ::testing::WithParamInterface<std::tuple<int, Then>> {};

TEST_P(StopsMidFrame, TheWaitingCommandReturnsMinus6) {
  const Cut& cut = kCuts[std::get<0>(GetParam())];
  const Then then = std::get<1>(GetParam());
  ScriptPeer viewer;
  Connect(viewer);
  std::atomic<bool> sent{false};
  viewer.Run([&](TestPeer& v) {
    std::string m;
    if (!v.NextMessage(&m)) return;
    v.SendRaw(cut.bytes);
    vxb::plat::SleepMs(20);
    sent = true;
    if (then == Then::Close) v.Close();
    if (then == Then::Reset) v.Reset();
    if (then == Then::Silence) v.WaitClosedByHost();
  });
  std::thread other;
  if (then == Then::Silence) {
    other = std::thread([&sent] {
      WaitUntil([&sent] { return sent.load(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_EQ(VxDisconnect(), 0);
    });
  }
  EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_COMMUNICATION_BROKEN);
  EXPECT_EQ(LastResponseText(), "");
  if (other.joinable()) other.join();
  viewer.Join();
  ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Log().calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Places, StopsMidFrame,
                         ::testing::Combine(::testing::Range(0, 6),
                                            ::testing::Values(Then::Close, Then::Reset, Then::Silence)),
                         [](const ::testing::TestParamInfo<std::tuple<int, Then>>& p) {
                           return std::string(kCuts[std::get<0>(p.param)].name) + "_" +
                                  kThen[static_cast<int>(std::get<1>(p.param))];
                         });

TEST_F(Hostile, ACallCutOffByTheViewerNeverReachesTheHandler) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset);
    ResetLog();
    ScriptPeer viewer;
    Connect(viewer);
    ASSERT_TRUE(viewer.SendRaw(FrameDeclaring(32, "EXE Hal")));
    vxb::plat::SleepMs(20);
    reset ? viewer.Reset() : viewer.Close();
    ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(Log().calls, 0);
    CallRecord record;
    EXPECT_EQ(VxRecvCmd(&record), 0);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1) << "the disconnect reports no second end";
  }
}

}  // namespace
}  // namespace vxtest
