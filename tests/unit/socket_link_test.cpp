// SocketLink: address parsing and closing, a listener's port, and the POSIX
// side's Winsock error numbers. (Connecting, listening and accepting: the API
// suite, through the exports; keep-alive: the link suite.)
#include <gtest/gtest.h>

#include "linked_pair.h"
#include "transport/listener.h"
#include "transport/socket_link.h"

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

// A listener that is closed gives its port back at once.
TEST(Listener, GivesItsPortBackWhenClosed) {
  vxb::Listener first, second;
  ASSERT_EQ(first.Open(0), 0);
  const uint16_t port = first.Port();
  first.Close();
  EXPECT_EQ(first.Port(), 0);
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
