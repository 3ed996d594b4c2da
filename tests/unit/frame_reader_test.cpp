// The read side against literal bytes: messages whole however the stream
// falls into segments, the receive block's bounds, and which receive
// failures end the link; and the send side's two ranges. (Bodies at the
// size limit and past it: the fuzz corpora and the hostile suite.)
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "linked_pair.h"
#include "platform/test_hooks.h"
#include "test_support.h"
#include "transport/frame_reader.h"

namespace {

using vxb::FrameReader;
using vxb::RecvBuffer;
using vxtest::Bytes;
using vxtest::LinkedPair;
namespace plat = vxb::plat;

// What the reader made of one message.
std::string Render(int rc, const vxb::Received& m) {
  if (rc != 0) return "failed " + std::to_string(rc);
  if (m.kind == vxb::Call) return "call " + m.call.name + "|" + m.call.args;
  if (m.kind != vxb::Response) return "none";
  return "answer " + std::to_string(m.answer->code) + " " +
         std::string(reinterpret_cast<const char*>(m.answer->text), m.answer->length);
}

// Reads `count` messages while the viewer sends the segments, each once the
// one before has left the link's socket: no two of them arrive together.
std::vector<std::string> ReadSegments(const std::vector<std::string>& segments, size_t count) {
  LinkedPair p;
  FrameReader reader(p.link);
  std::thread viewer([&] {
    for (const std::string& s : segments) {
      if (s.empty()) continue;
      EXPECT_TRUE(vxtest::WaitUntil([&] { return !plat::WaitReadable(p.link.DataSocket(), 0); }));
      EXPECT_TRUE(p.peer.SendRaw(s));
    }
  });
  std::vector<std::string> out;
  while (out.size() < count) {
    vxb::Received m;
    const int rc = reader.Read(&m);
    out.push_back(Render(rc, m));
    vxb::LetGo(m.answer);
    if (rc != 0) break;
  }
  viewer.join();
  return out;
}

TEST(FrameReader, MessagesComeOutWholeHoweverTheStreamFallsIntoSegments) {
  const std::string stream = Bytes(
      "\x0e\0\0\0EXE Add(2,40)\n" "\x0a\0\0\0RET 0,2,42" "\x0a\0\0\0SYS FLUSH\n" "\0\0\0\0"
      "\x02\0\0\0AB" "\x0a\0\0\0ret 0,2,OK" "\x04\0\0\0ABCD" "\x0c\0\0\0RET 0,4,1002");
  const std::vector<std::string> messages = {"call Add|2,40", "answer 0 42", "call SYS|FLUSH", "none",
                                             "none",          "none",        "none",           "answer 0 1002"};
  // Cut in two at every byte: the whole stream in one segment (a call and
  // an answer in it), an answer's prefix and body in two (cut at 22), a
  // prefix or a tag split, and so on.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    EXPECT_EQ(ReadSegments({stream.substr(0, cut), stream.substr(cut)}, messages.size()), messages) << "cut at " << cut;
  }
}

TEST(RecvBuffer, GrowsWithinItsBoundsToOneBlockAndNeverShrinks) {
  RecvBuffer b;
  EXPECT_EQ(vxb::EnsureCapacity(b, 100), -8);
  EXPECT_EQ(vxb::EnsureCapacity(b, 2000001), -9);
  plat::SetAllocFailureThreshold(1);
  EXPECT_EQ(vxb::EnsureCapacity(b, 5000), -11);
  plat::SetAllocFailureThreshold(0);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(vxb::EnsureCapacity(b, 5000), 0);
  EXPECT_EQ(vxb::EnsureCapacity(b, 4048), 0);
  EXPECT_EQ(b.capacity, 5000u);
  const size_t heapBefore = vxtest::HeapInUse();
  for (uint32_t c = 6000; c <= 200000; c += 1000) ASSERT_EQ(vxb::EnsureCapacity(b, c), 0);
  EXPECT_LE(vxtest::HeapInUse(), heapBefore + 200000 + 2 * plat::kPageSize);
  vxb::FreeBuffer(b);
  // A reader without memory for its first block is not ready: the
  // connection is refused (-11).
  LinkedPair p;
  plat::SetAllocFailureThreshold(1);
  FrameReader reader(p.link);
  plat::SetAllocFailureThreshold(0);
  EXPECT_FALSE(reader.Ready());
}

TEST(FramedIo, SendsBothRangesOrOnlyTheFirst) {
  LinkedPair p;
  FrameReader reader(p.link);
  ASSERT_EQ(p.link.Send("abc", 3, nullptr, 99), 0);
  ASSERT_EQ(p.link.Send("de", 2, "fg", 2), 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return p.peer.RawReceived().size() >= 7; }));
  EXPECT_EQ(p.peer.RawReceived(), "abcdefg");
  p.link.Close();
  EXPECT_EQ(p.link.Send("abc", 3, nullptr, 0), -6);
  vxb::Received m;
  EXPECT_EQ(reader.Read(&m), -6);  // not "0 bytes came", which it would wait on for ever
}

// After a failed receive a client gives its link up whatever the error; a
// server keeps its peer only through errors that pass, never past a failed
// send.
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
      FrameReader reader(p.link);
      plat::InjectSocketError(p.link.DataSocket(), c.error);
      ASSERT_TRUE(p.peer.SendFrame("EXE A()\n"));
      vxb::Received m;
      const bool kept = serverMode && c.serverKeeps;
      EXPECT_EQ(reader.Read(&m), kept ? 0 : -6);
      EXPECT_EQ(m.call.name, kept ? "A" : "");
      EXPECT_EQ(p.link.DataSocket() != plat::kInvalidSocket, kept);
      if (kept) {  // a failed send ends it all the same: part of the message may have left
        plat::InjectSocketError(p.link.DataSocket(), c.error);
        EXPECT_EQ(p.link.Send("abc", 3, "de", 2), -6);
        EXPECT_EQ(p.link.DataSocket(), plat::kInvalidSocket);
      }
    }
  }
}

}  // namespace
