// The wire format: frames sent byte for byte, messages received and parsed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "linked_pair.h"
#include "test_support.h"
#include "transport/wire_format.h"

namespace {

using vxtest::Bytes;
using vxtest::LinkedPair;

TEST(FramesSent, CallsSystemCallsAndResponsesByteForByte) {
  LinkedPair p;
  const char answer[64] = "OK";
  char full[80];  // an answer text without terminator: its 64 bytes, no more
  std::memset(full, 'z', sizeof full);
  ASSERT_EQ(vxb::SendCall(p.link, "VxSetLanguage", "'spa'"), 0);
  ASSERT_EQ(vxb::SendCall(p.link, "VxGetTypeViewer", ""), 0);
  ASSERT_EQ(vxb::SendSystemCall(p.link, "FLUSH"), 0);
  ASSERT_EQ(vxb::SendSystemCall(p.link, "CANCELALL"), 0);
  ASSERT_EQ(vxb::SendResponse(p.link, 0, "OK_ACK", 6), 0);
  ASSERT_EQ(vxb::SendResponseText(p.link, 0, answer, sizeof answer), 0);
  ASSERT_EQ(vxb::SendResponse(p.link, -5, nullptr, 0), 0);
  ASSERT_EQ(vxb::SendResponseText(p.link, 7, full, 64), 0);
  const std::string expected = Bytes("\x19\x00\x00\x00" "EXE VxSetLanguage('spa')\n"
                                     "\x16\x00\x00\x00" "EXE VxGetTypeViewer()\n"
                                     "\x0A\x00\x00\x00" "SYS FLUSH\n"
                                     "\x0E\x00\x00\x00" "SYS CANCELALL\n"
                                     "\x0E\x00\x00\x00" "RET 0,6,OK_ACK"
                                     "\x0A\x00\x00\x00" "RET 0,2,OK"
                                     "\x09\x00\x00\x00" "RET -5,0,"
                                     "\x49\x00\x00\x00" "RET 7,64,") +
                               std::string(64, 'z');
  ASSERT_TRUE(vxtest::WaitUntil([&] { return p.peer.RawReceived().size() >= expected.size(); }));
  EXPECT_EQ(p.peer.RawReceived(), expected);
}

struct Ret {
  const char* body;
  int32_t code;
  const char* payload;  // null: no payload
};

TEST(MessagesReceived, ParseResponse) {
  const Ret cases[] = {
      {"RET 0,4,1002", 0, "1002"},
      {"RET 5,0,", 5, nullptr},
      {"RET 17", 17, nullptr},
      {"RET 17,", 17, nullptr},
      {"RET 3,2", 3, nullptr},        // no "," before the payload
      {"RET x,1,a", -10, nullptr},
      {"RET -5,3,abc", -10, nullptr},  // a signed code is malformed
      {"RET +5,3,abc", -10, nullptr},
      {"RET 4,x,ab", 4, nullptr},      // bad length: the code stands
      {"RET ,2,OK", -10, nullptr},     // a code needs digits
      {"RET ", -10, nullptr},
      {"RET 0,10,abc", 0, "abc"},      // longer than what came: cut
      {"RET 0,2,abcdef", 0, "ab"},
      {"RET 4294967296,2,OK", -10, nullptr},  // does not wrap round to 0
      {"RET 99999999999999999999,2,OK", -10, nullptr},
      {"RET 0,4294967297,abc", 0, "abc"},  // nor does a length (to 1): cut
      {"RETX0,1,a", -10, nullptr},
      {"RE", -10, nullptr},
      {"", -10, nullptr},
  };
  for (const Ret& c : cases) {
    uint32_t length = 99;
    int32_t code = 99;
    const auto* body = reinterpret_cast<const uint8_t*>(c.body);
    const uint8_t* payload =
        vxb::ParseResponse(body, static_cast<uint32_t>(std::strlen(c.body)), &length, &code);
    EXPECT_EQ(code, c.code) << c.body;
    if (c.payload == nullptr) {
      EXPECT_EQ(payload, nullptr) << c.body;
      EXPECT_EQ(length, 0u) << c.body;
    } else {
      ASSERT_NE(payload, nullptr) << c.body;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload), length), c.payload) << c.body;
    }
  }
  // The payload may hold any bytes, NULs included.
  const std::string binary = Bytes("RET 0,3,a\0b");
  uint32_t length = 0;
  int32_t code = 1;
  const uint8_t* payload = vxb::ParseResponse(reinterpret_cast<const uint8_t*>(binary.data()),
                                              static_cast<uint32_t>(binary.size()), &length, &code);
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload), length), Bytes("a\0b"));
}

struct CallCase {
  std::string bytes;
  bool parsed;
  const char* name;
  const char* args;
};

TEST(MessagesReceived, ParseCallsAndSystemCalls) {
  const CallCase cases[] = {
      {"EXE Move(a(b)c)\n", true, "Move", "a(b)c"},
      {"EXE Move\n", true, "Move\n", ""},
      {"EXE Move(1,2)", true, "Move", "1,2"},
      {"EXE Move(x))\n", true, "Move", "x)"},
      {"EXE (a)\n", true, "", "a"},
      {"EXE \n", true, "\n", ""},
      {"EXE", false, "", ""},
      {"SYS FLUSH\n", false, "", ""},
  };
  for (const CallCase& c : cases) {
    vxb::IncomingMessage m;
    m.name = "before";
    const bool parsed = vxb::ParseCall(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                       static_cast<uint32_t>(c.bytes.size()), m);
    EXPECT_EQ(parsed, c.parsed) << c.bytes;
    if (!parsed) {
      EXPECT_EQ(m.name, "before") << "record left unchanged";
      continue;
    }
    EXPECT_EQ(m.kind, vxb::Call);
    EXPECT_EQ(m.name, c.name) << c.bytes;
    EXPECT_EQ(m.args, c.args) << c.bytes;
  }
  vxb::IncomingMessage s;
  const std::string sys = "SYS FL\nUSH\n";
  ASSERT_TRUE(vxb::ParseSystemCall(reinterpret_cast<const uint8_t*>(sys.data()),
                                   static_cast<uint32_t>(sys.size()), s));
  EXPECT_EQ(s.name, "SYS");
  EXPECT_EQ(s.args, "FLUSH");
  EXPECT_FALSE(vxb::ParseSystemCall(reinterpret_cast<const uint8_t*>("EXE A()"), 7, s));
}

TEST(MessagesReceived, ReadMessageSortsByTag) {
  LinkedPair p;
  ASSERT_TRUE(p.peer.SendFrame("ABCD"));
  ASSERT_TRUE(p.peer.SendFrame("AB"));
  ASSERT_TRUE(p.peer.SendFrame(""));
  ASSERT_TRUE(p.peer.SendFrame("ret 0,2,OK"));
  ASSERT_TRUE(p.peer.SendFrame("RET 0,4,1002"));
  ASSERT_TRUE(p.peer.SendFrame("SYS FLUSH\n"));
  const int32_t kinds[] = {vxb::NoMessage, vxb::NoMessage, vxb::NoMessage, vxb::NoMessage,
                           vxb::Response, vxb::Call};
  for (int32_t expected : kinds) {
    vxb::IncomingMessage m;
    ASSERT_EQ(vxb::ReadMessage(p.link, m), 0);
    EXPECT_EQ(m.kind, expected);
    if (expected == vxb::Response) {
      uint32_t length = 0;
      int32_t code = -1;
      const vxb::RecvBuffer* slot = p.link.Buffer(vxb::ResponseSlot);
      const uint8_t* payload = vxb::ParseResponse(slot->data, slot->used, &length, &code);
      EXPECT_EQ(code, 0);
      ASSERT_NE(payload, nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload), length), "1002");
    }
  }
}

}  // namespace
