// Server mode against hostile viewers: the host listens and each viewer
// connects to it.
#include <random>
#include <thread>
#include <vector>

#include "host_fixture.h"

namespace vxtest {
namespace {

// before + the call's frame, sent in pieces of `piece` bytes, make one
// petition, and its acknowledgement reaches the viewer.
void ExpectServed(TestPeer& viewer, const std::string& call, const std::string& before = "", size_t piece = 1u << 20) {
  ASSERT_TRUE(viewer.SendPieces(before + Frame(call), piece, 1));
  ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(VxAvailableBytes(), static_cast<int32_t>(call.size()));
  EXPECT_EQ(Petition(), call);
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0);  // nothing else became a petition
  ASSERT_EQ(VxSendAck(), 0);
  std::string m;
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(m, "RET 0,6,OK_ACK");
}

// A viewer that leaves while VxAccept replaces it: its end is seen exactly
// once and the next one is connected. A prefix no buffer is made for, a
// petition cut off by a reset, or a viewer that leaves before its petition
// is answered ends only that viewer: the answers race the library noticing
// the end, and each one is sent or refused, never lost silently as a
// success after the end was seen. The next viewer is served, junk frames
// and one-byte segments and all.
TEST_F(Hostile, ServedViewersAndBadOnes) {
  ListenAsServer();
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
    // The first viewer's end was seen exactly once (a lost one's maybe just
    // after the accept); the second is connected.
    EXPECT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxIsConnectionBroken(), 0);
    ExpectServed(second, "EXE Round(" + std::to_string(round) + ")\n");
    second.Close();
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  enum Leave { kHostEnds, kClose, kReset };
  const std::string ask = Frame("EXE Ask()\n");
  const struct {
    std::string bytes;
    Leave leave;
  } rows[] = {{FrameDeclaring(0xFFFFFFFFu, "EXE X()\n"), kHostEnds},
              {FrameDeclaring(32, "EXE Hal"), kReset},
              {ask, kClose},
              {ask, kReset}};
  for (const auto& r : rows) {
    ScriptPeer bad;
    Attach(bad);
    ASSERT_TRUE(bad.SendRaw(r.bytes));
    if (r.bytes == ask) {
      ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
      EXPECT_EQ(Petition(), "EXE Ask()\n");
    }
    if (r.leave == kHostEnds) {
      EXPECT_TRUE(bad.WaitClosedByHost());
    } else {
      vxb::plat::SleepMs(20);
      r.leave == kReset ? bad.Reset() : bad.Close();
    }
    int rc = 0;
    for (int i = 0; r.bytes == ask && i < 10000 && rc == 0; ++i) {
      rc = VxSendRetStrA(0, "late");
      if (rc == 0) vxb::plat::SleepMs(1);
    }
    EXPECT_TRUE(r.bytes != ask || rc == VX_E_NOT_CONNECTED || rc == VX_E_COMMUNICATION_BROKEN) << rc;
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    EXPECT_EQ(VxSendAck(), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxSendRaw("x", 1), VX_E_NOT_CONNECTED);
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
  std::string junk;
  for (const std::string& m : std::initializer_list<std::string>{
           "", "AB", "ABCD", "ret 0,2,OK", "RET 0,2,OK", "RET x", std::string(3000, 'j')}) {
    junk += Frame(m);
  }
  ScriptPeer good;
  Attach(good);
  ExpectServed(good, "SYS HI\n", junk);
  ExpectServed(good, "EXE Slowly(a,b)\n", "", 1);
}

// Everything of a viewer belongs to its connection. One that leaves with
// calls unanswered takes along those the host had not taken; an answer the
// host still gives to one it took is refused, never sent to the next
// viewer, and the next viewer is asked its own version: it receives the
// answers to its own calls, and an answer the host gives with no call owed
// (sent as the host asks).
TEST_F(Hostile, NothingOfADepartedViewerReachesTheNext) {
  ListenAsServer();
  auto version = [] {
    char* v = nullptr;
    const std::string s = VxGetRemoteProductVersionA(&v) == 0 && v != nullptr ? v : "<failed>";
    VxFreeA(v);
    return s;
  };
  // Answers the version query with its name, then makes its calls.
  auto viewer = [](const std::string& name, std::vector<std::string> calls) {
    return [name, calls](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m) || m != "EXE VxProductVersion()\n") return;
      v.SendRaw(RetFrame(0, name));
      for (const std::string& call : calls) v.SendFrame(call);
    };
  };
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const bool tookTwo = round % 2 == 1;
    ScriptPeer a;
    Attach(a);
    a.Run(viewer("a-version", {"EXE Left(1)\n", "EXE Left(2)\n"}));
    EXPECT_EQ(version(), "a-version");
    a.Join();
    for (int took = 0; took < (tookTwo ? 2 : 1); ++took) {
      ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
      EXPECT_EQ(Petition(), "EXE Left(" + std::to_string(took + 1) + ")\n");
    }
    // Lets the calls arrive, then leaves without an answer.
    vxb::plat::SleepMs(20);
    a.Close();
    ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
    ScriptPeer b;
    Attach(b);
    // Answers to the calls of the viewer that left: refused, one each.
    for (int took = 0; took < (tookTwo ? 2 : 1); ++took) EXPECT_EQ(VxSendRetStrA(0, "for-a"), VX_E_NOT_CONNECTED);
    b.Run(viewer("b-version", {"EXE Mine()\n"}));
    EXPECT_EQ(version(), "b-version");
    b.Join();
    ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(Petition(), "EXE Mine()\n");
    EXPECT_EQ(VxSendRetStrA(0, "for-b"), 0);
    EXPECT_EQ(VxSendRetStrA(0, "extra"), 0);
    EXPECT_EQ(VxDisconnect(), 0);
    std::vector<std::string> got;
    for (std::string m; b.NextMessage(&m, 2000);) got.push_back(m);
    EXPECT_EQ(got, (std::vector<std::string>{"RET 0,5,for-b", "RET 0,5,extra"}));
    EXPECT_EQ(VxIsConnectionBroken(), 1);
  }
}

}  // namespace
}  // namespace vxtest
