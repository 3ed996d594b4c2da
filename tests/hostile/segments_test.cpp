// A viewer that cuts its frames into pieces, stops in the middle of one,
// or sends a prefix no buffer is made for.
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

// The viewer sends part of the answer to the waiting command, then closes,
// resets, or goes silent until another host thread disconnects; or it sends
// a prefix no buffer is made for and the host ends the connection itself.
// The command sees the break, never a torn answer.
enum class Then { Close, Reset, Silence, HostEnds };
struct Stop {
  std::string name;
  std::string bytes;
  Then then;
};
std::vector<Stop> Stops() {
  const std::string ret = RetFrame(0, "abcdef");  // "RET 0,6,abcdef", 18 bytes
  const std::pair<const char*, std::string> cuts[] = {
      {"Prefix", ret.substr(0, 2)},
      {"Tag", ret.substr(0, 6)},
      {"Header", ret.substr(0, 10)},
      {"Payload", ret.substr(0, 14)},
      {"Declared11", FrameDeclaring(11, "RET 0,2,OK")},
      {"Declared1999999", FrameDeclaring(1999999, "RET 0,2,OK")}};
  std::vector<Stop> stops;
  for (const auto& c : cuts) {
    stops.push_back({std::string(c.first) + "_Close", c.second, Then::Close});
    stops.push_back({std::string(c.first) + "_Reset", c.second, Then::Reset});
    stops.push_back({std::string(c.first) + "_Silence", c.second, Then::Silence});
  }
  // 2,000,000 is the first length refused; "garb" reads as 1.6 GB.
  for (const uint32_t declared : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 2000000u}) {
    stops.push_back({"Huge" + std::to_string(declared), FrameDeclaring(declared, "RET 0,2,OK"), Then::HostEnds});
  }
  stops.push_back({"NotAFrame", "garbage, not a frame at all", Then::HostEnds});
  return stops;
}

class StopsMidFrame : public Hostile, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopsMidFrame, TheWaitingCommandReturnsMinus6) {
  const Stop& s = GetParam();
  ScriptPeer viewer;
  Connect(viewer);
  std::atomic<bool> sent{false};
  std::atomic<bool> hostClosed{false};
  viewer.Run([&](TestPeer& v) {
    std::string m;
    if (!v.NextMessage(&m)) return;
    v.SendRaw(s.bytes);
    vxb::plat::SleepMs(20);
    sent = true;
    if (s.then == Then::Close) v.Close();
    if (s.then == Then::Reset) v.Reset();
    if (s.then == Then::Silence || s.then == Then::HostEnds) hostClosed = v.WaitClosedByHost();
  });
  std::thread other;
  if (s.then == Then::Silence) {
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
  EXPECT_TRUE(s.then != Then::HostEnds || hostClosed);
  ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Log().calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Places, StopsMidFrame, ::testing::ValuesIn(Stops()),
                         [](const ::testing::TestParamInfo<Stop>& p) { return p.param.name; });

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
