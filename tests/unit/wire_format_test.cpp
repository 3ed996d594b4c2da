// The wire format: frames sent byte for byte, calls received and parsed.
// (Answers, odd ones included: the hostile suite, through a whole session.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "failing_new.h"
#include "linked_pair.h"
#include "test_support.h"
#include "transport/frame_writer.h"
#include "transport/wire_format.h"

namespace {

using vxtest::Bytes;
using vxtest::LinkedPair;

TEST(FramesSent, CallsSystemCallsAndResponsesByteForByte) {
  LinkedPair p;
  char full[80];  // an answer text without terminator: its 64 bytes, no more
  std::memset(full, 'z', sizeof full);
  const std::string calls[] = {vxb::FormatCall("VxSetLanguage", "'spa'"), vxb::FormatCall("VxGetTypeViewer", ""),
                               vxb::FormatSystemCall("FLUSH"), vxb::FormatSystemCall("CANCELALL")};
  const struct {
    int32_t code;
    const char* payload;
    uint32_t length;
  } answers[] = {{0, "OK_ACK", 6}, {0, "OK", 2}, {-5, nullptr, 0}, {7, full, 64}};
  vxb::OutFrame m[9];
  char headers[4][32];
  for (int i = 0; i < 4; ++i) {
    m[i].head = calls[i].data();
    m[i].headLength = static_cast<uint32_t>(calls[i].size());
    m[i].nextInSend = i < 3 ? &m[i + 1] : nullptr;  // the calls leave together, in one send
    vxb::OutFrame& a = m[4 + i];
    a.head = headers[i];
    a.headLength = vxb::FormatResponseHeader(headers[i], answers[i].code, static_cast<int32_t>(answers[i].length));
    a.tail = answers[i].payload;
    a.tailLength = answers[i].length;
  }
  m[8].head = "raw";  // bytes as they are
  m[8].headLength = 3;
  m[8].framed = false;
  ASSERT_EQ(vxb::WriteFrames(p.link, &m[0], vxb::plat::kInfinite), 0);
  vxtest::FailNewFrom(64);  // no memory to join them: one send each, in order all the same
  ASSERT_EQ(vxb::WriteFrames(p.link, &m[0], vxb::plat::kInfinite), 0);
  vxtest::FailNewFrom(0);
  for (int i = 4; i < 9; ++i) ASSERT_EQ(vxb::WriteFrames(p.link, &m[i], vxb::plat::kInfinite), 0);
  const std::string sentCalls = Bytes("\x19\x00\x00\x00" "EXE VxSetLanguage('spa')\n"
                                  "\x16\x00\x00\x00" "EXE VxGetTypeViewer()\n"
                                  "\x0A\x00\x00\x00" "SYS FLUSH\n"
                                  "\x0E\x00\x00\x00" "SYS CANCELALL\n");
  const std::string expected = sentCalls + sentCalls + Bytes("\x0E\x00\x00\x00" "RET 0,6,OK_ACK"
                                     "\x0A\x00\x00\x00" "RET 0,2,OK"
                                     "\x09\x00\x00\x00" "RET -5,0,"
                                     "\x49\x00\x00\x00" "RET 7,64,") +
                               std::string(64, 'z') + "raw";
  ASSERT_TRUE(vxtest::WaitUntil([&] { return p.peer.RawReceived().size() >= expected.size(); }));
  EXPECT_EQ(p.peer.RawReceived(), expected);
}

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(MessagesReceived, ParseCallsAndSystemCalls) {
  const struct {
    std::string bytes;
    bool parsed;
    const char *name, *args;
  } cases[] = {
      {"EXE Move(a(b)c)\n", true, "Move", "a(b)c"},
      {"EXE Move\n", true, "Move\n", ""},
      {"EXE Move(1,2)", true, "Move", "1,2"},
      {"EXE Move(x))\n", true, "Move", "x)"},
      {"EXE (a)\n", true, "", "a"},
      {"EXE \n", true, "\n", ""},
      {"EXE", false, "before", ""},  // the record is left unchanged
      {"SYS FLUSH\n", false, "before", ""},
  };
  for (const auto& c : cases) {
    vxb::IncomingMessage m;
    m.name = "before";
    EXPECT_EQ(vxb::ParseCall(U(c.bytes), static_cast<uint32_t>(c.bytes.size()), m), c.parsed);
    EXPECT_EQ(m.kind, c.parsed ? vxb::Call : vxb::NoMessage) << c.bytes;
    EXPECT_EQ(m.name, c.name) << c.bytes;
    EXPECT_EQ(m.args, c.args) << c.bytes;
  }
  vxb::IncomingMessage s;
  ASSERT_TRUE(vxb::ParseSystemCall(U("SYS FL\nUSH\n"), 11, s));
  EXPECT_EQ(s.name, "SYS");
  EXPECT_EQ(s.args, "FLUSH");
  EXPECT_FALSE(vxb::ParseSystemCall(U("EXE A()"), 7, s));
}

}  // namespace
