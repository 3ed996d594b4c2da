// SocketLink: address parsing, opening in both roles, accepting, closing.
#include <gtest/gtest.h>

#include "linked_pair.h"
#include "platform/test_hooks.h"
#include "test_peer.h"
#include "test_support.h"
#include "transport/listener.h"
#include "transport/socket_link.h"
#include "vxbridge.h"

#ifndef _WIN32
#include <cerrno>

#include "platform/posix/winsock_errors.h"
#endif

namespace {

using vxb::SocketLink;
namespace plat = vxb::plat;

TEST(IsDottedAddress, DecidesBetweenTheTwoLookups) {
  const struct {
    const char* text;
    bool accepted;
    uint8_t bytes[4];
  } cases[] = {
      {"10.0.0.7", true, {10, 0, 0, 7}},
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
  for (const auto& c : cases) {
    uint8_t address[4] = {0, 0, 0, 0};
    EXPECT_EQ(SocketLink::IsDottedAddress(c.text, address), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(std::string(address, address + 4), std::string(c.bytes, c.bytes + 4)) << c.text;
    }
  }
}

// A dotted address is connected to as it is, with no lookup that could fail
// (no reverse entry) or stall (no resolver); names need one, and 0.0.0.0 is
// no host. Each failure leaves no data socket; a link is one connection.
TEST(SocketLink, ConnectsByAddressOrByNameAndReportsFailuresAsMinus5) {
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  SocketLink link;
  EXPECT_EQ(link.Connect("no-such-host.invalid", port), -5);
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
  plat::SetHostLookupFailure(true);
  const int named = link.Connect("localhost", port);
  const int any = link.Connect("", port);
  const int dotted = link.Connect("127.0.0.1", port);
  plat::SetHostLookupFailure(false);
  EXPECT_EQ(named, -5);
  EXPECT_EQ(any, -5);
  ASSERT_EQ(dotted, 0);
  EXPECT_NE(link.DataSocket(), plat::kInvalidSocket);
  EXPECT_FALSE(link.ServerRole());
  EXPECT_EQ(link.Connect("127.0.0.1", port), VX_E_ALREADY_CONNECTED);
  link.Close();
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
  link.Close();  // nothing left to close: no effect
  EXPECT_EQ(link.Connect("127.0.0.1", port), VX_E_ALREADY_CONNECTED);

  // A port nobody listens on any more is refused.
  vxb::Listener listener;
  ASSERT_EQ(listener.Open(0), 0);
  const uint16_t closed = listener.Port();
  listener.Close();
  EXPECT_EQ(listener.Port(), 0);
  SocketLink refused;
  EXPECT_EQ(refused.Connect("127.0.0.1", closed), -5);
  EXPECT_EQ(refused.DataSocket(), plat::kInvalidSocket);
}

TEST(SocketLink, EveryDataSocketProbesAnIdlePeer) {
  for (bool serverMode : {false, true}) {
    vxtest::LinkedPair p(serverMode);
    EXPECT_EQ(p.link.ServerRole(), serverMode);
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
    p.link.Close();
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
    EXPECT_TRUE(p.peer.WaitClosedByHost());
    EXPECT_EQ(plat::LocalPort(s), local);
  }
  EXPECT_EQ(plat::LocalPort(s), 0);
}

TEST(Listener, ListensOnceAcceptsWithoutWaitingAndGivesItsPortBack) {
  vxb::Listener listener;
  ASSERT_EQ(listener.Open(0), 0);
  ASSERT_NE(listener.Port(), 0);
  vxb::Listener second;
  EXPECT_EQ(second.Open(listener.Port()), -5);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(listener.Accept(), plat::kInvalidSocket);  // nobody there: returns at once
  // A socket that does not listen cannot accept, and says why.
  const plat::Socket idle = plat::TcpSocket();
  EXPECT_EQ(plat::Accept(idle), plat::kInvalidSocket);
  EXPECT_EQ(plat::LastSocketError(), plat::kErrInvalid);
  plat::CloseSocket(idle);

  vxtest::TestPeer viewer;
  ASSERT_TRUE(viewer.ConnectTo(listener.Port()));
  plat::Socket data = plat::kInvalidSocket;
  ASSERT_TRUE(vxtest::WaitUntil([&] { return (data = listener.Accept()) != plat::kInvalidSocket; }));
  SocketLink link;
  ASSERT_EQ(link.Adopt(data), 0);
  EXPECT_TRUE(link.ServerRole());
  // The accepted socket carries the peer's bytes.
  ASSERT_TRUE(viewer.SendRaw("abcd"));
  uint8_t got[4] = {0, 0, 0, 0};
  EXPECT_GT(link.Receive(got, 4), 0);
  EXPECT_EQ(got[0], 'a');
  link.Close();
  EXPECT_TRUE(listener.IsOpen());
  // A listener that goes away gives its port back.
  uint16_t port = 0;
  {
    vxb::Listener gone;
    ASSERT_EQ(gone.Open(0), 0);
    port = gone.Port();
  }
  EXPECT_EQ(second.Open(port), 0);
}

#ifndef _WIN32
// The POSIX side speaks Winsock's numbers: the transport decides on them
// which failures end a link, and hosts see them in the trace.
TEST(WinsockErrorOf, EveryErrnoASocketCallGivesHasItsWinsockTwin) {
  const int cases[][2] = {
      {0, 0},           {ECONNRESET, 10054}, {ENETDOWN, 10050},     {ENETRESET, 10052},  {ESHUTDOWN, 10058},
      {EPIPE, 10058},   {ETIMEDOUT, 10060},  {EINTR, 10004},        {EAGAIN, 10035},     {EBADF, 10038},
      {ENOTSOCK, 10038}, {EINVAL, 10022},    {EADDRINUSE, 10048},   {ECONNABORTED, 10053}, {ENOTCONN, 10057},
      {ECONNREFUSED, 10061}, {EACCES, 10013}, {EFAULT, 10014},      {EMFILE, 10024},     {EINPROGRESS, 10036},
      {EALREADY, 10037}, {EMSGSIZE, 10040},  {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051}, {ENOBUFS, 10055},
      {ENOMEM, 10055},  {EISCONN, 10056},    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065}, {EDOM, 10022},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::WinsockErrorOf(c[0]), c[1]) << "errno " << c[0];
}
#endif

}  // namespace
