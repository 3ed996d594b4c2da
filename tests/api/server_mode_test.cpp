// Server mode: the host listens, the viewer connects, and every petition
// waits for the host's own answer.
#include <cstring>

#include "host_fixture.h"

namespace vxtest {
namespace {

namespace plat = vxb::plat;

TEST_F(HostTest, ServerCallsOutsideServerModeAndTheListenAddress) {
  // A client connection has no petitions: its calls are answered OK at once.
  peer.SetResponder(nullptr);
  ASSERT_EQ(Connect(), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Move(1,2)\n"));
  EXPECT_EQ(Received(1), std::vector<std::string>{"RET 0,2,OK"});
  EXPECT_EQ(VxAvailableBytes(), 0);
  CallRecord record;
  EXPECT_EQ(VxRecvCmd(&record), 0);  // the call is gone
  EXPECT_EQ(Petition(), "<none>");
  // It also ended any listening left from earlier tests.
  VxDisconnect();
  EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxAvailableBytes(), -1);
  EXPECT_EQ(VxConnectAsServer(FreeLoopbackPort(), 1), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxConnectAsServer(port, 0), VX_E_HOST_NOT_FOUND);  // peer holds it
  EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND);
  // The protocol has no authentication: an operator restricts who can reach
  // the listening port by the interface it listens on.
  SetEnv("VXBRIDGE_LISTEN_ADDRESS", "127.0.0.1");
  ListenAsServer();
  // Another address of this machine (all of 127/8 is local) is refused.
  const uint8_t other[4] = {127, 0, 0, 2};
  const plat::Socket s = plat::TcpSocket();
  EXPECT_NE(plat::Connect(s, other, listenPort), 0);
  plat::CloseSocket(s);
  ScriptPeer viewer;
  Attach(viewer);
  // A value that is no plain dotted address listens nowhere.
  for (const char* invalid : {"127.0.0", "127.0.0.1.", "1.2.3.4.5", "256.0.0.1", " 127.0.0.1",
                              "127.0.0.0001", "localhost"}) {
    SetEnv("VXBRIDGE_LISTEN_ADDRESS", invalid);
    EXPECT_EQ(VxConnectAsServer(listenPort, 0), VX_E_INVALID_PARAMETER) << invalid;
    EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND) << invalid;
  }
  SetEnv("VXBRIDGE_LISTEN_ADDRESS", nullptr);
}

TEST_F(HostTest, APetitionWaitsForTheHostsAnswer) {
  ListenAsServer();
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
  EXPECT_EQ(VxAvailableBytes(), 0);
  ASSERT_TRUE(viewer.SendFrame("EXE Move(1,2)\n"));
  ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(VxAvailableBytes(), 14);  // already waiting: not taken again
  const uint8_t* first = nullptr;
  ASSERT_EQ(VxReadRawPetition(&first, &size), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), size), "EXE Move(1,2)\n");
  EXPECT_EQ(VxReadRawPetition(&data, &size), VX_E_NO_DATA);
  EXPECT_EQ(viewer.MessagesReceived(), 0u);  // no automatic answer, nor any refused one
  ASSERT_EQ(VxSendAck(), 0);
  ASSERT_EQ(VxSendRaw("xyz", 3), 0);  // raw bytes go out exactly as given
  // VxRecvCmd fills the record with zeros, and the call becomes the petition.
  ASSERT_TRUE(viewer.SendFrame("SYS FLUSH\n"));
  CallRecord record;
  std::memset(&record, 'q', sizeof record);
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
  EXPECT_EQ(std::string(record.name, 64), "SYS" + std::string(61, '\0'));
  EXPECT_EQ(std::string(record.args, 512), "FLUSH" + std::string(507, '\0'));
  EXPECT_EQ(Petition(), "SYS FLUSH\n");
  ASSERT_EQ(VxSendRetStrA(3, "bad"), 0);
  // With no call owed an answer is sent all the same, as the host asks.
  EXPECT_EQ(VxSendAck(), 0);
  for (const char* call : {"EXE A()\n", "EXE B()\n", "EXE C()\n"}) ASSERT_TRUE(viewer.SendFrame(call));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
  EXPECT_EQ(Petition(), "EXE C()\n");
  const VxWChar wide[] = {0x20AC, 'x', 0};
  ASSERT_EQ(VxSendRetStrW(0, wide), 0);
  ASSERT_EQ(VxSendRetCmd(5, "a\0b", 3), 0);
  ASSERT_EQ(VxSendRetCmd(6, nullptr, 0), 0);
  const std::string sent = Bytes("\x0E\x00\x00\x00" "RET 0,6,OK_ACK" "xyz" "\x0B\x00\x00\x00" "RET 3,3,bad"
                                 "\x0E\x00\x00\x00" "RET 0,6,OK_ACK" "\x0A\x00\x00\x00" "RET 0,2,\xAC" "x" "\x0B\x00\x00\x00" "RET 5,3,a\0b"
                                 "\x08\x00\x00\x00" "RET 6,0,");
  ASSERT_TRUE(WaitUntil([&] { return viewer.RawReceived().size() >= sent.size(); }));
  EXPECT_EQ(viewer.RawReceived(), sent);
  // The largest petition there is (name and arguments cut to the record)
  // lands in the very block handed out first: a pointer the host still
  // holds is overwritten, never released.
  ASSERT_TRUE(viewer.SendFrame("EXE " + std::string(70, 'n') + "(" + std::string(600, 'a') + ")\n"));
  ASSERT_TRUE(WaitUntil([] { return VxAvailableBytes() > 0; }));
  ASSERT_EQ(VxReadRawPetition(&data, &size), 0);
  EXPECT_EQ(data, first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), size + 1),
            "EXE " + std::string(64, 'n') + "(" + std::string(512, 'a') + ")\n" + '\0');
  // Accept closes the viewer first, even when nobody waits; a disconnect
  // keeps the listening socket for the next.
  EXPECT_EQ(VxAccept(), VX_E_NOT_CONNECTED);
  EXPECT_TRUE(viewer.WaitClosedByHost());
  TestPeer second, third;
  Attach(second);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_TRUE(second.WaitClosedByHost());
  Attach(third);
  // A client connection afterwards stops listening, and its calls are no
  // petitions.
  VxDisconnect();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(VxAccept(), VX_E_HOST_NOT_FOUND);
  ASSERT_TRUE(peer.SendFrame("EXE Move(3,4)\n"));
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&record) != 0; }));
  EXPECT_EQ(Petition(), "<none>");
}

}  // namespace
}  // namespace vxtest
