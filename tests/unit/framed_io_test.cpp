// Framed socket I/O: receive buffers, split segments, broken links.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api_helpers.h"
#include "interface/library_state.h"
#include "linked_pair.h"
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

class BodySizes : public ::testing::TestWithParam<std::pair<size_t, uint32_t>> {};

TEST_P(BodySizes, BodyFitsAndBufferGrowsToLengthPlusOne) {
  const size_t size = GetParam().first;
  LinkedPair p;
  const std::string body = CallOfSize(size);
  ASSERT_TRUE(p.peer.SendFrame(body));
  vxb::FrameSplitter::Frame frame;
  ASSERT_EQ(p.link.NextFrame(&frame), 0);
  ASSERT_EQ(frame.length, size);
  uint8_t* data = nullptr;
  ASSERT_EQ(p.link.ReadBody(frame, vxb::CallSlot, &data), 0);
  ASSERT_EQ(data, p.link.BufferData(vxb::CallSlot));
  EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->capacity, GetParam().second);
  EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->used, size);
  EXPECT_EQ(data[size], 0);  // a text body ends in a NUL
  EXPECT_EQ(std::memcmp(data, body.data(), size), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BodySizes,
                         ::testing::Values(std::make_pair(size_t{4047}, 4048u),
                                           std::make_pair(size_t{4048}, 4049u),
                                           std::make_pair(size_t{1999999}, 2000000u)));

TEST(FramedIo, TooLargeAFrameClosesTheStreamWithMinus9) {
  LinkedPair p;
  ASSERT_TRUE(p.peer.SendFrame(CallOfSize(2000001)));
  vxb::IncomingMessage m;
  EXPECT_EQ(vxb::ReadMessage(p.link, m), -9);
  EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
  EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->capacity, SocketLink::kInitialCapacity);
}

TEST(FramedIo, HugeLengthPrefixesAreRefusedWithoutReading) {
  for (const char* prefix : {"\xFF\xFF\xFF\xFF", "\x00\x00\x00\x80", "\x80\x84\x1E\x00"}) {
    LinkedPair p;
    ASSERT_TRUE(p.peer.SendRaw(std::string(prefix, 4) + "RET 0,2,OK"));
    vxb::IncomingMessage m;
    EXPECT_EQ(vxb::ReadMessage(p.link, m), -9);
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
  }
}

TEST(FramedIo, NoMemoryForTheBodyClosesTheStreamWithMinus11) {
  LinkedPair p;
  ASSERT_TRUE(p.peer.SendFrame(CallOfSize(10000)));
  plat::SetAllocFailureThreshold(5000);
  vxb::IncomingMessage m;
  EXPECT_EQ(vxb::ReadMessage(p.link, m), -11);
  plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
}

TEST(FramedIo, OneByteSegmentsReadAsIfWhole) {
  LinkedPair p;
  const std::string frame = Frame("EXE Move(a(b)c)\n") + Frame("RET 0,4,1002");
  for (char c : frame) {
    ASSERT_TRUE(p.peer.SendRaw(std::string(1, c)));
    plat::SleepMs(1);
  }
  vxb::IncomingMessage m;
  ASSERT_EQ(vxb::ReadMessage(p.link, m), 0);
  EXPECT_EQ(m.kind, vxb::Call);
  EXPECT_EQ(m.name, "Move");
  EXPECT_EQ(m.args, "a(b)c");
  vxb::IncomingMessage r;
  ASSERT_EQ(vxb::ReadMessage(p.link, r), 0);
  EXPECT_EQ(r.kind, vxb::Response);
  EXPECT_STREQ(reinterpret_cast<char*>(p.link.BufferData(vxb::ResponseSlot)), "RET 0,4,1002");
}

TEST(FramedIo, APrefixSplitInTwoIsCompleted) {
  LinkedPair p;
  const std::string frame = Frame("SYS FLUSH\n");
  ASSERT_TRUE(p.peer.SendRaw(frame.substr(0, 2)));
  plat::SleepMs(20);
  ASSERT_TRUE(p.peer.SendRaw(frame.substr(2)));
  vxb::IncomingMessage m;
  ASSERT_EQ(vxb::ReadMessage(p.link, m), 0);
  EXPECT_EQ(m.kind, vxb::Call);
  EXPECT_EQ(m.name, "SYS");
  EXPECT_EQ(m.args, "FLUSH");
}

// Frames that came in one segment with the last one read belong to their
// connection: gone when it is closed, never read on the next.
TEST(FramedIo, FramesReadAheadGoWithTheirConnection) {
  for (bool readAfterClose : {false, true}) {
    LinkedPair p;
    ASSERT_TRUE(p.peer.SendRaw(Frame("EXE One()\n") + Frame("EXE Stale()\n")));
    vxb::IncomingMessage m;
    ASSERT_EQ(vxb::ReadMessage(p.link, m), 0);
    EXPECT_EQ(m.name, "One");
    p.link.CloseData();
    if (readAfterClose) {
      EXPECT_EQ(vxb::ReadMessage(p.link, m), -6);
    }
    vxtest::TestPeer next;
    ASSERT_EQ(p.link.Open("127.0.0.1", next.Listen(), SocketLink::kClientMode), 0);
    ASSERT_TRUE(next.WaitConnected());
    ASSERT_TRUE(next.SendFrame("EXE Two()\n"));
    vxb::IncomingMessage two;
    ASSERT_EQ(vxb::ReadMessage(p.link, two), 0);
    EXPECT_EQ(two.name, "Two") << readAfterClose;
  }
}

TEST(FramedIo, PeerClosingOrResettingMidFrameGivesMinus6) {
  for (bool reset : {false, true}) {
    LinkedPair p;
    ASSERT_TRUE(p.peer.SendRaw(std::string("\x64\x00\x00\x00", 4) + "EXE Part"));
    plat::SleepMs(20);
    if (reset) {
      p.peer.Reset();
    } else {
      p.peer.Close();
    }
    vxb::IncomingMessage m;
    EXPECT_EQ(vxb::ReadMessage(p.link, m), -6) << (reset ? "reset" : "close");
    EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
  }
}

TEST(FramedIo, AnEmptyFrameLeavesAnEmptyText) {
  LinkedPair p;
  ASSERT_TRUE(p.peer.SendRaw(Frame("EXE A()\n") + std::string(4, '\0')));
  vxb::IncomingMessage call;
  ASSERT_EQ(vxb::ReadMessage(p.link, call), 0);
  EXPECT_EQ(call.kind, vxb::Call);
  vxb::IncomingMessage empty;
  ASSERT_EQ(vxb::ReadMessage(p.link, empty), 0);
  EXPECT_EQ(empty.kind, vxb::NoMessage);
  EXPECT_EQ(p.link.Buffer(vxb::CallSlot)->used, 0u);
  EXPECT_EQ(p.link.BufferData(vxb::CallSlot)[0], 0);
}

TEST(FramedIo, EnsureCapacityBounds) {
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
}

TEST(FramedIo, SendWithoutSecondRangeSendsTheFirstOnly) {
  LinkedPair p;
  ASSERT_EQ(p.link.Send("abc", 3, nullptr, 99), 0);
  ASSERT_EQ(p.link.Send("de", 2, "fg", 2), 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return p.peer.RawReceived().size() >= 7; }));
  EXPECT_EQ(p.peer.RawReceived(), "abcdefg");
}

TEST(FramedIo, SendOnAClosedLinkGivesMinus6) {
  LinkedPair p;
  p.link.CloseData();
  EXPECT_EQ(p.link.Send("abc", 3, nullptr, 0), -6);
}

// After a failed call a client gives its link up whatever the error; a
// server keeps its peer only through errors that pass.
TEST(FramedIo, AServerKeepsItsPeerOnlyThroughTransientErrors) {
  struct Case {
    int error;
    bool serverKeeps;
  };
  const Case cases[] = {
      {10004, true},   // WSAEINTR
      {10035, true},   // WSAEWOULDBLOCK
      {10036, true},   // WSAEINPROGRESS
      {10055, true},   // WSAENOBUFS
      {10054, false},  // WSAECONNRESET
      {10050, false},  // WSAENETDOWN
      {10052, false},  // WSAENETRESET
      {10058, false},  // WSAESHUTDOWN
      {10060, false},  // WSAETIMEDOUT
      {10053, false},  // WSAECONNABORTED
      {10057, false},  // WSAENOTCONN
      {10038, false},  // WSAENOTSOCK
      {10022, false},  // WSAEINVAL: fails the same way every time
      {995, false},    // the call was cancelled by a close
  };
  for (const Case& c : cases) {
    for (bool serverMode : {false, true}) {
      LinkedPair p(serverMode);
      plat::InjectSocketError(p.link.DataSocket(), c.error);
      ASSERT_TRUE(p.peer.SendFrame("EXE A()\n"));
      // The reader's receive fails first: a server tries again.
      vxb::IncomingMessage m;
      const bool kept = serverMode && c.serverKeeps;
      EXPECT_EQ(vxb::ReadMessage(p.link, m), kept ? 0 : -6) << c.error << " " << serverMode;
      EXPECT_EQ(m.name, kept ? "A" : "") << c.error << " " << serverMode;
      EXPECT_EQ(p.link.DataSocket() != plat::kInvalidSocket, kept) << c.error << " " << serverMode;
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

// Through the exports, linked statically into this test so that the fault
// hook reaches the library's own sockets: an error that says the
// connection is gone ends the viewer's connection (the reader does not
// retry it for ever), and the next viewer is served.
TEST(ServedViewer, AConnectionGoneErrorEndsItAndTheNextViewerIsServed) {
  const uint16_t port = vxtest::FreeLoopbackPort();
  ASSERT_EQ(VxConnectAsServer(port, 0), 0);
  {
    vxtest::TestPeer gone;
    ASSERT_TRUE(gone.ConnectTo(port));
    ASSERT_TRUE(vxtest::WaitUntil([] { return VxAccept() == 0; }));
    plat::InjectSocketError(vxb::State().link.DataSocket(), 10053);  // WSAECONNABORTED
    // A prefix wakes the reader (blocked in a receive that the error does
    // not reach); the receive for the rest of the frame fails.
    ASSERT_TRUE(gone.SendRaw(std::string("\x0b\0\0\0", 4)));
    EXPECT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() == -1; }, 20000));
    EXPECT_TRUE(gone.WaitClosedByHost());
    EXPECT_TRUE(vxtest::WaitUntil([] { return VxIsConnectionBroken() == 1; }));
  }
  vxtest::TestPeer next;
  ASSERT_TRUE(next.ConnectTo(port));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAccept() == 0; }));
  ASSERT_TRUE(next.SendFrame("EXE Next()\n"));
  ASSERT_TRUE(vxtest::WaitUntil([] { return VxAvailableBytes() > 0; }));
  EXPECT_EQ(vxtest::Petition(), "EXE Next()\n");
  EXPECT_EQ(VxDisconnect(), 0);
}

}  // namespace
