// Framed socket I/O: receive buffers, split segments, broken links.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "linked_pair.h"
#include "platform/test_hooks.h"
#include "test_support.h"
#include "transport/wire_format.h"

namespace {

using vxb::SocketLink;
using vxtest::Frame;
using vxtest::LinkedPair;
namespace plat = vxb::plat;

std::string CallOfSize(size_t total) {
  std::string m = "EXE Big(";
  m.resize(total - 2, 'x');
  return m + ")\n";
}

TEST(FramedIo, BodyFitsAndTheBufferGrowsToLengthPlusOne) {
  for (uint32_t size : {4047u, 4048u, 1999999u}) {
    LinkedPair p;
    const std::string body = CallOfSize(size);
    ASSERT_TRUE(p.peer.SendFrame(body));
    vxb::FrameSplitter::Frame frame;
    ASSERT_EQ(p.link.NextFrame(&frame), 0);
    ASSERT_EQ(frame.length, size);
    uint8_t* data = nullptr;
    ASSERT_EQ(p.link.ReadBody(frame, vxb::CallSlot, &data), 0);
    ASSERT_EQ(data, p.link.BufferData(vxb::CallSlot));
    EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->capacity, std::max(size + 1, 4048u));
    EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->used, size);
    EXPECT_EQ(data[size], 0);  // a text body ends in a NUL
    EXPECT_EQ(std::memcmp(data, body.data(), size), 0);
  }
}

// The stream is closed with the code, the buffer left as it was.
TEST(FramedIo, TooLargeOrUnallocatableFramesCloseTheStream) {
  const struct {
    std::string bytes;
    uint32_t allocLimit;
    int code;
  } cases[] = {
      {Frame(CallOfSize(2000001)), 0, -9},
      {std::string("\xFF\xFF\xFF\xFF", 4) + "RET 0,2,OK", 0, -9},  // refused unread
      {std::string("\x00\x00\x00\x80", 4) + "RET 0,2,OK", 0, -9},
      {std::string("\x80\x84\x1E\x00", 4) + "RET 0,2,OK", 0, -9},
      {Frame(CallOfSize(10000)), 5000, -11},
  };
  for (const auto& c : cases) {
    LinkedPair p;
    ASSERT_TRUE(p.peer.SendRaw(c.bytes));
    plat::SetAllocFailureThreshold(c.allocLimit);
    vxb::IncomingMessage m;
    EXPECT_EQ(vxb::ReadMessage(p.link, m), c.code);
    plat::SetAllocFailureThreshold(0);
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
    EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->capacity, SocketLink::kInitialCapacity);
  }
}

TEST(FramedIo, EnsureCapacityBoundsAndGrownBuffersStayForTheConnection) {
  SocketLink link;  // never opened: no buffers yet
  EXPECT_EQ(link.EnsureCapacity(100, vxb::ResponseSlot), -8);
  EXPECT_EQ(link.EnsureCapacity(2000001, vxb::ResponseSlot), -9);
  EXPECT_EQ(link.EnsureCapacity(5000, 2), -11);
  plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(link.EnsureCapacity(5000, vxb::ResponseSlot), -11);
  plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(link.EnsureCapacity(5000, vxb::ResponseSlot), 0);
  EXPECT_EQ(link.EnsureCapacity(4048, vxb::ResponseSlot), 0);  // never shrinks
  EXPECT_EQ(link.Buffer(vxb::ResponseSlot)->capacity, 5000u);
  // Opening makes the missing buffers, or fails with -11 without memory.
  vxtest::TestPeer peer;
  const uint16_t port = peer.Listen();
  plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(link.Connect("127.0.0.1", port), -11);
  plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(link.DataSocket(), plat::kInvalidSocket);
  ASSERT_EQ(link.Connect("127.0.0.1", port), 0);
  EXPECT_EQ(link.Buffer(vxb::ResponseSlot)->capacity, 5000u);
  EXPECT_EQ(link.Buffer(vxb::CallSlot)->capacity, SocketLink::kInitialCapacity);
  // Growing step by step holds one block, not every one it outgrew.
  const size_t heapBefore = vxtest::HeapInUse();
  for (uint32_t c = 6000; c <= 200000; c += 1000) ASSERT_EQ(link.EnsureCapacity(c, vxb::ResponseSlot), 0);
  EXPECT_LE(vxtest::HeapInUse(), heapBefore + 200000 + 4096);
}

TEST(FramedIo, SendsBothRangesOrOnlyTheFirst) {
  LinkedPair p;
  ASSERT_EQ(p.link.Send("abc", 3, nullptr, 99), 0);
  ASSERT_EQ(p.link.Send("de", 2, "fg", 2), 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return p.peer.RawReceived().size() >= 7; }));
  EXPECT_EQ(p.peer.RawReceived(), "abcdefg");
  p.link.Close();
  EXPECT_EQ(p.link.Send("abc", 3, nullptr, 0), -6);
  vxb::IncomingMessage m;
  EXPECT_EQ(vxb::ReadMessage(p.link, m), -6);  // not "0 bytes came", which it would wait on for ever
}

// After a failed receive a client gives its link up whatever the error; a
// server keeps its peer only through errors that pass.
TEST(FramedIo, AServerKeepsItsPeerOnlyThroughTransientErrors) {
  const struct {
    int error;
    bool serverKeeps;
  } cases[] = {
      // WSAEINTR, WSAEWOULDBLOCK, WSAEINPROGRESS, WSAENOBUFS
      {10004, true}, {10035, true}, {10036, true}, {10055, true},
      // WSAECONNRESET, WSAENETDOWN, WSAENETRESET, WSAESHUTDOWN, WSAETIMEDOUT,
      // WSAECONNABORTED, WSAENOTCONN, WSAENOTSOCK, WSAEINVAL (fails the same
      // way every time), and a call cancelled by a close
      {10054, false}, {10050, false}, {10052, false}, {10058, false}, {10060, false},
      {10053, false}, {10057, false}, {10038, false}, {10022, false}, {995, false},
  };
  for (const auto& c : cases) {
    for (bool serverMode : {false, true}) {
      SCOPED_TRACE(std::to_string(c.error) + (serverMode ? " server" : " client"));
      LinkedPair p(serverMode);
      plat::InjectSocketError(p.link.DataSocket(), c.error);
      ASSERT_TRUE(p.peer.SendFrame("EXE A()\n"));
      vxb::IncomingMessage m;
      const bool kept = serverMode && c.serverKeeps;
      EXPECT_EQ(vxb::ReadMessage(p.link, m), kept ? 0 : -6);
      EXPECT_EQ(m.name, kept ? "A" : "");
      EXPECT_EQ(p.link.DataSocket() != plat::kInvalidSocket, kept);
    }
  }
}

// Part of the message may have left before the failure: the stream cannot
// be brought back into step, so whatever the error, the link is closed.
TEST(FramedIo, AFailedSendEndsTheLinkInBothModes) {
  for (bool serverMode : {false, true}) {
    LinkedPair p(serverMode);
    plat::InjectSocketError(p.link.DataSocket(), 10035);  // passing, for a receive
    EXPECT_EQ(p.link.Send("abc", 3, "de", 2), -6) << serverMode;
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket) << serverMode;
    EXPECT_TRUE(p.peer.WaitClosedByHost()) << serverMode;
  }
}

}  // namespace
