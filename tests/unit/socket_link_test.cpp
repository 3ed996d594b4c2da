// SocketLink: address parsing, opening in both roles, accepting, closing.
#include <gtest/gtest.h>

#include <chrono>

#include "linked_pair.h"
#include "test_peer.h"
#include "test_support.h"
#include "transport/socket_link.h"

namespace {

using vxb::SocketLink;
namespace plat = vxb::plat;

struct Dotted {
  const char* text;
  bool accepted;
  uint8_t bytes[4];
};

TEST(IsDottedAddress, DecidesBetweenTheTwoLookups) {
  const Dotted cases[] = {
      {"10.0.0.7", true, {10, 0, 0, 7}},
      {"127.0.0.1", true, {127, 0, 0, 1}},
      {"127", true, {127, 0, 0, 0}},
      {"", true, {0, 0, 0, 0}},
      {"1.2.3.4.5", true, {1, 2, 3, 4}},  // the rest after four groups is not looked at
      {"255.255.255.255", true, {255, 255, 255, 255}},
      {"localhost", false, {}},
      {"1..2", false, {}},
      {"300.1.1.1", false, {}},
      {"1.2.3.256", false, {}},
      {"1.2.3.4 ", false, {}},
      {"0000000000001.2", true, {1, 2, 0, 0}},  // 15 characters: walked
      {"00000000000001.2", false, {}},          // 16 characters: refused at once
  };
  for (const Dotted& c : cases) {
    uint8_t address[4] = {0, 0, 0, 0};
    const bool accepted = SocketLink::IsDottedAddress(c.text, address);
    EXPECT_EQ(accepted, c.accepted) << c.text;
    if (c.accepted) {
      for (int i = 0; i < 4; ++i) EXPECT_EQ(address[i], c.bytes[i]) << c.text << " byte " << i;
    }
  }
}

TEST(SocketLink, ConnectsByAddressAndByName) {
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  {
    SocketLink link;
    ASSERT_EQ(link.Open("127.0.0.1", port, SocketLink::kClientMode), 0);
    EXPECT_NE(link.DataSocket(), plat::kInvalidSocket);
    EXPECT_EQ(link.ListenSocket(), plat::kInvalidSocket);
    ASSERT_NE(link.BufferData(vxb::ResponseSlot), nullptr);
    EXPECT_EQ(link.Buffer(vxb::ResponseSlot)->capacity, SocketLink::kInitialCapacity);
    EXPECT_EQ(link.Buffer(vxb::CallSlot)->capacity, SocketLink::kInitialCapacity);
    EXPECT_EQ(link.BufferData(2), nullptr);
    link.CloseData();
    EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
    link.CloseData();  // nothing left to close: no effect
  }
  vxtest::TestPeer named;
  const uint16_t port2 = named.Listen();
  SocketLink link;
  EXPECT_EQ(link.Open("localhost", port2, SocketLink::kClientMode), 0);
}

// A dotted address is connected to as it is, with no lookup that could fail
// (no reverse entry) or stall (no resolver); names still need one.
TEST(SocketLink, DottedAddressesNeedNoLookup) {
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  SocketLink link;
  plat::SetHostLookupFailure(true);
  const int dotted = link.Open("127.0.0.1", port, SocketLink::kClientMode);
  const int named = link.Open("localhost", port, SocketLink::kClientMode);
  const int any = link.Open("", port, SocketLink::kClientMode);  // 0.0.0.0 is no host
  plat::SetHostLookupFailure(false);
  EXPECT_EQ(dotted, 0);
  EXPECT_EQ(named, -5);
  EXPECT_EQ(any, -5);
}

TEST(SocketLink, EveryDataSocketProbesAnIdlePeer) {
  for (bool serverMode : {false, true}) {
    vxtest::LinkedPair p(serverMode);
    plat::KeepAlive k;
    ASSERT_TRUE(plat::GetKeepAlive(p.link.DataSocket(), &k)) << serverMode;
    // Windows tells only that keep-alive is on, not the times it was given.
    if (k.idleMs != 0) {
      EXPECT_EQ(k.idleMs, 30000u);
      EXPECT_EQ(k.intervalMs, 5000u);
      EXPECT_EQ(k.probes, 5u);
    }
  }
}

// A socket closed while a thread still uses it is shut at once (its peer
// and its users learn it) but stays open until that thread is done with
// it: otherwise its number could go to the next connection meanwhile.
TEST(SocketLink, AClosedSocketIsReleasedByItsLastUser) {
  vxtest::LinkedPair p;
  const plat::Socket s = p.link.DataSocket();
  const uint16_t local = plat::LocalPort(s);
  ASSERT_NE(local, 0);
  {
    SocketLink::DataUse use(p.link);
    p.link.CloseData();
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
    EXPECT_TRUE(p.peer.WaitClosedByHost());
    EXPECT_EQ(plat::LocalPort(s), local);
  }
  EXPECT_EQ(plat::LocalPort(s), 0);
}

TEST(SocketLink, UnknownHostAndRefusedConnectionGiveMinus5) {
  SocketLink link;
  EXPECT_EQ(link.Open("no-such-host.invalid", 1, SocketLink::kClientMode), -5);
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
  // A port nobody listens on any more.
  uint16_t port = 0;
  {
    SocketLink listener;
    ASSERT_EQ(listener.Open("localhost", 0, SocketLink::kServerMode), 0);
    port = listener.ListenPort();
    listener.CloseAll();
  }
  EXPECT_EQ(link.Open("127.0.0.1", port, SocketLink::kClientMode), -5);
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
}

TEST(SocketLink, ListeningOnATakenPortFails) {
  SocketLink first;
  ASSERT_EQ(first.Open("localhost", 0, SocketLink::kServerMode), 0);
  const uint16_t port = first.ListenPort();
  ASSERT_NE(port, 0);
  SocketLink second;
  EXPECT_EQ(second.Open("localhost", port, SocketLink::kServerMode), -5);
  EXPECT_EQ(second.ListenSocket(), plat::kInvalidSocket);
}

TEST(SocketLink, AcceptNeverWaits) {
  SocketLink link;
  ASSERT_EQ(link.Open("localhost", 0, SocketLink::kServerMode), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(link.Accept());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  vxtest::TestPeer viewer;
  ASSERT_TRUE(viewer.ConnectTo(link.ListenPort()));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return link.Accept(); }));
  const plat::Socket data = link.DataSocket();
  EXPECT_NE(data, plat::kInvalidSocket);
  // With a peer connected a second Accept touches nothing.
  EXPECT_FALSE(link.Accept());
  EXPECT_EQ(link.DataSocket(), data);
  // The accepted socket blocks: a read waits for the peer's bytes.
  ASSERT_TRUE(viewer.SendRaw(std::string("\x04\0\0\0abcd", 8)));
  vxb::FrameSplitter::Frame frame;
  EXPECT_EQ(link.NextFrame(&frame), 0);
  EXPECT_EQ(frame.length, 4u);
  // Closing the data socket keeps the listening socket.
  link.CloseData();
  EXPECT_NE(link.ListenSocket(), plat::kInvalidSocket);
}

TEST(SocketLink, ReopenKeepsGrownBuffers) {
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  SocketLink link;
  ASSERT_EQ(link.Open("127.0.0.1", port, SocketLink::kClientMode), 0);
  ASSERT_EQ(link.EnsureCapacity(10000, vxb::CallSlot), 0);
  ASSERT_EQ(link.Open("127.0.0.1", port, SocketLink::kClientMode), 0);
  EXPECT_EQ(link.Buffer(vxb::CallSlot)->capacity, 10000u);
  EXPECT_EQ(link.Buffer(vxb::ResponseSlot)->capacity, SocketLink::kInitialCapacity);
}

TEST(SocketLink, NoMemoryForBuffersGivesMinus11) {
  SocketLink link;
  plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(link.Open("127.0.0.1", 1, SocketLink::kClientMode), -11);
  plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
}

TEST(SocketLink, CloseAllInClientModeLeavesTheDataSocket) {
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  SocketLink link;
  ASSERT_EQ(link.Open("127.0.0.1", port, SocketLink::kClientMode), 0);
  link.CloseAll();
  EXPECT_NE(link.DataSocket(), plat::kInvalidSocket);
}

}  // namespace
