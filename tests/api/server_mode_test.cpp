// Server mode: the host listens, the viewer connects, and every petition
// waits for the host's own answer.
#include <cstring>

#include "api_fixture.h"
#include "api_helpers.h"

namespace {

using vxtest::Bytes;
using vxtest::Frame;
using vxtest::TestPeer;
namespace plat = vxb::plat;



class Server : public ::testing::Test {
 protected:
  uint16_t port = 0;
  void SetUp() override {
    port = vxtest::FreeLoopbackPort();
    ASSERT_EQ(VxConnectAsServer(port, 0), 0);
  }
  void TearDown() override {
    VxDisconnect();
    while (VxIsConnectionBroken() != 0) {
    }
    CallRecord r;
    while (VxRecvCmd(&r) != 0) {
    }
  }
  // Connects viewer and polls VxAccept until the library took it.
  void Attach(TestPeer& viewer) {
    ASSERT_TRUE(viewer.ConnectTo(port));
    ASSERT_TRUE(vxtest::WaitUntil([] { return VxAccept() == 0; }));
  }
};

TEST(ServerSetup, AcceptNeedsAListeningSocket) {
  // A client connection ends any listening left from earlier tests.
  TestPeer viewer;
  const uint16_t p = viewer.Listen();
  ASSERT_EQ(VxConnectA("127.0.0.1", p, 0, nullptr, nullptr), 0);
  VxDisconnect();
  while (VxIsConnectionBroken() != 0) {
  }
  EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxAvailableBytes(), -1);
  EXPECT_EQ(VxConnectAsServer(vxtest::FreeLoopbackPort(), 1), VX_E_INVALID_PARAMETER);
}

TEST(ServerSetup, ListeningOnATakenPortFails) {
  TestPeer holder;
  const uint16_t taken = holder.Listen();
  EXPECT_EQ(VxConnectAsServer(taken, 0), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND);
}

// The protocol has no authentication: an operator restricts who can reach
// the listening port by the interface it listens on.
TEST(ServerSetup, TheListenAddressRestrictsTheInterface) {
  constexpr const char* kVariable = "VXBRIDGE_LISTEN_ADDRESS";
  TestPeer viewer;
  const uint16_t port = vxtest::FreeLoopbackPort();
  vxtest::SetEnv(kVariable, "127.0.0.1");
  ASSERT_EQ(VxConnectAsServer(port, 0), 0);
  // Another address of this machine (all of 127/8 is local) is refused.
  const uint8_t other[4] = {127, 0, 0, 2};
  const plat::Socket s = plat::TcpSocket();
  EXPECT_NE(plat::Connect(s, other, port), 0);
  plat::CloseSocket(s);
  ASSERT_TRUE(viewer.ConnectTo(port));
  EXPECT_TRUE(vxtest::WaitUntil([] { return VxAccept() == 0; }));
  // A value that is no plain dotted address listens nowhere.
  for (const char* invalid : {"127.0.0", "127.0.0.1.", "1.2.3.4.5", "256.0.0.1", " 127.0.0.1",
                              "127.0.0.0001", "localhost"}) {
    vxtest::SetEnv(kVariable, invalid);
    EXPECT_EQ(VxConnectAsServer(port, 0), VX_E_INVALID_PARAMETER) << invalid;
    EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND) << invalid;
  }
  vxtest::SetEnv(kVariable, nullptr);
  VxDisconnect();
  while (VxIsConnectionBroken() != 0) {
  }
}

TEST_F(Server, APetitionWaitsForTheHostsAnswer) {
  EXPECT_EQ(VxAccept(), VX_E_NOT_CONNECTED);  // nobody waiting yet
  TestPeer viewer;
  Attach(viewer);
  EXPECT_EQ(VxAvailableBytes(), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Move(1,2)\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(VxAvailableBytes(), 14);  // already waiting: not taken again
  const uint8_t* first = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(VxReadRawPetition(&first, &size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), size), "EXE Move(1,2)\n");
  EXPECT_EQ(vxtest::Petition(), "<none>");
  const uint8_t* data = nullptr;
  EXPECT_EQ(VxReadRawPetition(&data, &size), VX_E_NO_DATA);
  EXPECT_EQ(viewer.MessagesReceived(), 0u);  // no automatic answer
  ASSERT_EQ(VxSendAck(), 0);
  std::string m;
  ASSERT_TRUE(viewer.NextMessage(&m));
  EXPECT_EQ(viewer.RawReceived(), Bytes("\x0E\x00\x00\x00" "RET 0,6,OK_ACK"));

  ASSERT_TRUE(viewer.SendFrame("SYS FLUSH\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(vxtest::Petition(), "SYS FLUSH\n");
  ASSERT_EQ(VxSendRetStrA(3, "bad"), 0);
  const VxWChar wide[] = {0x20AC, 'x', 0};
  ASSERT_EQ(VxSendRetStrW(0, wide), 0);
  ASSERT_EQ(VxSendRetCmd(5, "a\0b", 3), 0);
  ASSERT_EQ(VxSendRetCmd(6, nullptr, 0), 0);
  std::vector<std::string> got;
  for (int i = 0; i < 4 && viewer.NextMessage(&m); ++i) got.push_back(m);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "RET 3,3,bad");
  EXPECT_EQ(got[1], "RET 0,2,\xAC" "x");
  EXPECT_EQ(got[2], Bytes("RET 5,3,a\0b"));
  EXPECT_EQ(got[3], "RET 6,0,");

  // The largest petition there is (name and arguments cut to the record)
  // lands in the very block handed out first: a pointer the host still
  // holds is overwritten, never released.
  ASSERT_TRUE(viewer.SendFrame("EXE " + std::string(70, 'n') + "(" + std::string(600, 'a') + ")\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
  ASSERT_EQ(VxReadRawPetition(&data, &size), 0);
  EXPECT_EQ(data, first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), size + 1),
            "EXE " + std::string(64, 'n') + "(" + std::string(512, 'a') + ")\n" + '\0');
}

TEST_F(Server, RecvCmdFillsTheRecordWithZeros) {
  TestPeer viewer;
  Attach(viewer);
  ASSERT_TRUE(viewer.SendFrame("EXE Move(1,2)\n"));
  CallRecord record;
  std::memset(&record, 'q', sizeof record);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
  EXPECT_EQ(std::string(record.name, 64), "Move" + std::string(60, '\0'));
  EXPECT_EQ(std::string(record.args, 512), "1,2" + std::string(509, '\0'));
  // The call also became the raw petition.
  EXPECT_EQ(vxtest::Petition(), "EXE Move(1,2)\n");
}

TEST_F(Server, NullPointersAndNegativeLengthsAreRefused) {
  TestPeer viewer;
  Attach(viewer);
  uint32_t size = 0;
  const uint8_t* data = nullptr;
  EXPECT_EQ(VxReadRawPetition(nullptr, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxReadRawPetition(&data, nullptr), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxSendRetCmd(0, nullptr, 5), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxSendRetCmd(0, "abc", -1), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxSendRetStrA(0, nullptr), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxSendRetStrW(0, nullptr), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxSendRaw(nullptr, 3), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxRecvCmd(nullptr), 0);
  EXPECT_EQ(viewer.MessagesReceived(), 0u);
  // Raw bytes go out exactly as given.
  ASSERT_EQ(VxSendRaw("xyz", 3), 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return viewer.RawReceived() == "xyz"; }));
}

TEST_F(Server, ViewersOneAfterAnotherOnOneListeningSocket) {
  for (int i = 0; i < 3; ++i) {
    TestPeer viewer;
    Attach(viewer);
    ASSERT_TRUE(viewer.SendFrame("EXE Ping(" + std::to_string(i) + ")\n"));
    ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
    EXPECT_EQ(vxtest::Petition(), "EXE Ping(" + std::to_string(i) + ")\n");
    ASSERT_EQ(VxSendAck(), 0);
    std::string m;
    ASSERT_TRUE(viewer.NextMessage(&m));
    EXPECT_EQ(m, "RET 0,6,OK_ACK");
    viewer.Close();
    ASSERT_TRUE(vxtest::WaitUntil([] { return VxIsConnectionBroken() != 0; })) << i;
    EXPECT_EQ(VxAvailableBytes(), -1);
  }
}

TEST_F(Server, AViewerThatLeavesMidPetition) {
  {
    TestPeer viewer;
    Attach(viewer);
    ASSERT_TRUE(viewer.SendRaw(std::string("\x20\x00\x00\x00", 4) + "EXE Hal"));
    plat::SleepMs(20);
    viewer.Reset();
    ASSERT_TRUE(vxtest::WaitUntil([] { return VxIsConnectionBroken() != 0; }));
  }
  EXPECT_EQ(VxAvailableBytes(), -1);
  TestPeer next;
  Attach(next);
  ASSERT_TRUE(next.SendFrame("EXE Move(1,2)\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() == 14; }));
}

TEST_F(Server, AcceptReplacesTheConnectedViewer) {
  TestPeer first;
  Attach(first);
  TestPeer second;
  ASSERT_TRUE(second.ConnectTo(port));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAccept() == 0; }));
  EXPECT_TRUE(first.WaitClosedByHost());
  ASSERT_TRUE(second.SendFrame("SYS HI\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(vxtest::Petition(), "SYS HI\n");
}

TEST_F(Server, DisconnectKeepsTheListeningSocket) {
  TestPeer first;
  Attach(first);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_TRUE(first.WaitClosedByHost());
  TestPeer second;
  Attach(second);
}

TEST(ClientMode, AvailableBytesTakesAPendingCallWithoutAPetition) {
  TestPeer viewer;
  viewer.SetResponder(nullptr);
  const uint16_t p = viewer.Listen();
  ASSERT_EQ(VxConnectA("127.0.0.1", p, 0, nullptr, nullptr), 0);
  ASSERT_TRUE(viewer.WaitConnected());
  ASSERT_TRUE(viewer.SendFrame("EXE Move(1,2)\n"));
  std::string m;
  ASSERT_TRUE(viewer.NextMessage(&m));  // the automatic OK
  EXPECT_EQ(VxAvailableBytes(), 0);
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0);  // the call is gone
  EXPECT_EQ(vxtest::Petition(), "<none>");
  VxDisconnect();
  while (VxIsConnectionBroken() != 0) {
  }
}

}  // namespace
