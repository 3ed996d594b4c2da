// A viewer whose byte stream is wrong: garbage, unknown tags, empty and
// huge frames, answers whose header does not add up.
#include <random>

#include "host_fixture.h"

namespace vxtest {
namespace {

// Answers every message of the host with the next of answers, then with
// "RET 0,4,fine"; ends when the host closes. The host's own answers (to
// calls of the viewer) go to *rets.
void AnswerInTurn(TestPeer& v, std::vector<std::string> answers,
                  std::vector<std::string>* rets = nullptr) {
  std::string m;
  size_t next = 0;
  for (int i = 0; i < 100000 && v.NextMessage(&m); ++i) {
    if (m.compare(0, 4, "RET ") != 0) {
      v.SendRaw(next < answers.size() ? answers[next++] : RetFrame(0, "fine"));
    } else if (rets != nullptr) {
      rets->push_back(m);
    }
  }
}

// Random frames: honest, lying or missing prefixes; known and unknown tags.
std::string RandomGarbage(std::mt19937& rng) {
  static const char kAlphabet[] = "0123456789,,,--++()\n\r RETXESY\x00\x01\xFF\xE9";
  static const char* const kTags[] = {"RET ", "EXE ", "SYS ", ""};
  std::string out;
  for (int f = 1 + static_cast<int>(rng() % 4); f > 0; --f) {
    std::string body;
    if (const uint32_t tag = rng() % 5; tag < 4) {
      body = kTags[tag];
    } else {
      for (int i = 0; i < 4; ++i) body += static_cast<char>(rng() & 0xFF);
    }
    for (int i = static_cast<int>(rng() % 41); i > 0; --i) body += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    const auto size = static_cast<uint32_t>(body.size());
    switch (rng() % 4) {
      case 0: out += FrameDeclaring(size, body); break;
      case 1: out += FrameDeclaring(size + 1 + static_cast<uint32_t>(rng() % 100), body); break;
      case 2: out += FrameDeclaring(static_cast<uint32_t>(rng()), body); break;
      default: out += body; break;
    }
  }
  return out;
}

// In small pieces or not, then the viewer leaves: the command comes back
// with a code a viewer or a broken link can produce, and each connection
// reports its end exactly once.
TEST_F(Hostile, SeededGarbageAlwaysEndsInAResultCode) {
  constexpr int kRounds = 30;
  std::mt19937 rng(20240611);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::string garbage = RandomGarbage(rng);
    const size_t piece = rng() % 2 == 0 ? garbage.size() : 1 + rng() % 7;
    const bool reset = rng() % 2 == 0;
    ScriptPeer viewer;
    Connect(viewer);
    viewer.Run([&](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m)) return;
      v.SendPieces(garbage, piece, 0);
      vxb::plat::SleepMs(5);
      reset ? v.Reset() : v.Close();
    });
    const int rc = VxSendCmdA("Fuzz", std::to_string(round).c_str());
    viewer.Join();
    EXPECT_TRUE(rc >= 0 || rc == VX_E_COMMUNICATION_BROKEN || rc == VX_E_INVALID_RESPONSE) << rc;
    ASSERT_TRUE(WaitUntil([&] { return Log().broken.load() == round + 1; }));
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(Log().brokenDuringCall, 0);
    // The next round connects again without a VxDisconnect in between.
  }
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, kRounds);
}

// Skipped frames, each kind before a real answer: the stream stays in step
// and none of them becomes a call.
TEST_F(Hostile, JunkFramesAreSkipped) {
  std::string junk;
  for (const std::string& m : std::initializer_list<std::string>{"", "R", "RE", "RET", "EXE", "SYS", "ABCD", "ret 0,2,no", "Ret 0,2,no",
                               " RET 0,2,no", "EXEC(1)\n", "SYSX\n", Bytes("\0\0\0\0"),
                               Bytes("RET\0 0,2,no"), std::string(5000, 'Q')}) {
    junk += Frame(m);
  }
  const std::string zeros(4 * 1000, '\0');  // a thousand empty frames
  const std::string answer = junk + zeros + RetFrame(5, "real") + zeros + Frame("EXE Tail(z)\n") + zeros;
  ScriptPeer viewer;
  Connect(viewer);
  std::vector<std::string> rets;
  viewer.Run([&](TestPeer& v) { AnswerInTurn(v, {answer}, &rets); });
  EXPECT_EQ(VxSendCmdA("Move", "1"), 5);
  EXPECT_EQ(LastResponseText(), "real");
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == 1; }));
  EXPECT_EQ(VxSendCmdA("Move", "2"), 0);
  EXPECT_EQ(LastResponseText(), "fine");
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(SeenCalls(), std::vector<std::string>{"Tail|z"});
  EXPECT_EQ(rets, std::vector<std::string>{"RET 0,2,OK"});
  EXPECT_EQ(Log().broken, 1);
}

TEST_F(Hostile, TheLargestAcceptedAnswerArrivesWhole) {
  // 1,999,999 message bytes, the most a frame may hold.
  const std::string header = "RET 0,1999985,";
  std::string payload(1999999 - header.size(), '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  ScriptPeer viewer;
  Connect(viewer);
  viewer.Run([&](TestPeer& v) { AnswerInTurn(v, {Frame(header + payload)}); });
  EXPECT_EQ(VxSendCmdA("Huge", ""), 0);
  const std::string got = LastResponseText();
  EXPECT_EQ(got.size(), 1999985u);
  EXPECT_TRUE(got == payload);
  EXPECT_EQ(VxSendCmdA("Small", ""), 0);
  EXPECT_EQ(LastResponseText(), "fine");
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
}

// Answer headers that do not add up, each followed by a normal command on
// the same connection: none of them puts the stream out of step.
TEST_F(Hostile, AnswerHeadersThatDoNotAddUp) {
  struct RetCase {
    std::string message;
    int32_t code;
    std::string text;
  };
  const RetCase cases[] = {
      {"RET 2147483647,2,OK", 2147483647, "OK"},  // the largest viewer code
      {"RET 00000000000000000000000007,1,x", 7, "x"},
      // Past 2147483647 a code would read as negative: as the library's own
      // (4294967290 as -6, "broken") it would lie to the host.
      {"RET 2147483648,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 4294967290,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 4294967295", VX_E_INVALID_RESPONSE, ""},
      // A payload length past the message is cut to what is there.
      {"RET 0,4294967295,abc", 0, "abc"}, {"RET 0,99999999999,abc", 0, "abc"},
      {"RET 3,50,short", 3, "short"}, {"RET 3,5,", 3, ""}, {"RET 7,3,bad", 7, "bad"},
      {"RET 0,0,", 0, ""}, {"RET 0,9,cut", 0, "cut"}, {"RET x,1,a", VX_E_INVALID_RESPONSE, ""},
      {"RET 4,x,ab", 4, ""}, {"RET -6,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET +0,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 0,-2,OK", 0, ""},
      {"RET 3 2 OK", VX_E_INVALID_RESPONSE, ""}, {"RET 3;2;OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 3", 3, ""}, {"RET 3,2OK", 3, ""}, {"RET 3,,OK", 3, ""}, {Bytes("RET 1\0,2,OK"), 1, ""},
      {Bytes("RET 0,3,\0\xFF\n"), 0, Bytes("\0\xFF\n")},
  };
  std::vector<std::string> answers;
  for (const RetCase& c : cases) {
    answers.push_back(Frame(c.message));
    answers.push_back(RetFrame(0, "in step"));
  }
  ScriptPeer viewer;
  Connect(viewer);
  viewer.Run([answers](TestPeer& v) { AnswerInTurn(v, answers); });
  for (const RetCase& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(VxSendCmdA("Odd", ""), c.code);
    EXPECT_EQ(LastResponseText(), c.text);
    EXPECT_EQ(VxSendCmdA("Even", ""), 0);
    EXPECT_EQ(LastResponseText(), "in step");
  }
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(Log().broken, 1);
}

}  // namespace
}  // namespace vxtest
