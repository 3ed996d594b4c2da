// A viewer whose byte stream is wrong: garbage, unknown tags, empty and
// huge frames, prefixes that promise more than follows, answers whose
// header does not add up.
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "hostile_fixture.h"
#include "test_peer.h"

namespace vxhostile {
namespace {

using vxtest::Frame;
using vxtest::RetFrame;

template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// Answers every message of the host with the next of answers, then with
// "RET 0,4,fine" once they are used up; ends when the host closes. The
// host's own answers (to calls of the viewer) go to *rets.
void AnswerInTurn(RawViewer& v, std::vector<std::string> answers,
                  std::vector<std::string>* rets = nullptr) {
  std::string m;
  size_t next = 0;
  for (int i = 0; i < 100000 && v.ReadMessage(&m); ++i) {
    if (m.compare(0, 4, "RET ") == 0) {
      if (rets != nullptr) rets->push_back(m);
      continue;
    }
    v.Send(next < answers.size() ? answers[next++] : RetFrame(0, "fine"));
  }
}

TEST_F(Hostile, GarbageInsteadOfAnAnswerEndsTheConnection) {
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([](RawViewer& v) {
    std::string m;
    if (v.ReadMessage(&m)) v.Send("garbage, not a frame at all");  // "garb": 1.6 GB
  });
  EXPECT_EQ(VxSendCmdA("Move", "1"), VX_E_COMMUNICATION_BROKEN);
  EXPECT_EQ(LastResponseText(), "");
  viewer.Join();
  EXPECT_TRUE(viewer.WaitHostClosed());
  ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Move", "2"), VX_E_NOT_CONNECTED);
  EXPECT_EQ(Log().calls, 0);
}

// Random frames (honest, lying or missing prefixes; known and unknown
// tags; any bytes), sometimes in small pieces, then the viewer leaves. The
// command always comes back with a code a viewer or a broken link can
// produce, and each connection reports its end exactly once.
std::string RandomGarbage(std::mt19937& rng) {
  static const char kAlphabet[] = "0123456789,,,--++()\n\r RETXESY\x00\x01\xFF\xE9";
  std::string out;
  const int frames = 1 + static_cast<int>(rng() % 4);
  for (int f = 0; f < frames; ++f) {
    std::string body;
    switch (rng() % 5) {
      case 0: body = "RET "; break;
      case 1: body = "EXE "; break;
      case 2: body = "SYS "; break;
      case 3: break;
      default:
        for (int i = 0; i < 4; ++i) body += static_cast<char>(rng() & 0xFF);
    }
    const int extra = static_cast<int>(rng() % 41);
    for (int i = 0; i < extra; ++i) body += kAlphabet[rng() % (sizeof kAlphabet - 1)];
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

TEST_F(Hostile, SeededGarbageAlwaysEndsInAResultCode) {
  constexpr uint32_t kSeed = 20240611;
  constexpr int kRounds = 30;
  std::mt19937 rng(kSeed);
  for (int round = 0; round < kRounds; ++round) {
    const std::string garbage = RandomGarbage(rng);
    const size_t piece = rng() % 2 == 0 ? garbage.size() : 1 + rng() % 7;
    const bool reset = rng() % 2 == 0;
    RawViewer viewer;
    Connect(viewer);
    viewer.Run([&](RawViewer& v) {
      std::string m;
      if (!v.ReadMessage(&m)) return;
      v.SendPieces(garbage, piece, 0);
      vxb::plat::SleepMs(5);
      if (reset) {
        v.Reset();
      } else {
        v.Close();
      }
    });
    const int rc = VxSendCmdA("Fuzz", std::to_string(round).c_str());
    viewer.Join();
    EXPECT_TRUE(rc >= 0 || rc == VX_E_COMMUNICATION_BROKEN || rc == VX_E_INVALID_RESPONSE)
        << "round " << round << " (seed " << kSeed << "): " << rc;
    ASSERT_TRUE(WaitFor([&] { return Log().broken.load() == round + 1; }))
        << "round " << round << " (seed " << kSeed << ")";
    EXPECT_EQ(VxIsConnectionBroken(), 1) << round;
    EXPECT_EQ(Log().brokenDuringCall, 0);
    // The next round connects again without a VxDisconnect in between.
  }
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, kRounds);
}

TEST_F(Hostile, UnknownTagsAndShortMessagesAreSkipped) {
  RawViewer viewer;
  Connect(viewer);
  std::string junk;
  for (const std::string& m :
       {std::string(), std::string("R"), std::string("RE"), std::string("RET"), std::string("EXE"),
        std::string("SYS"), std::string("ABCD"), std::string("ret 0,2,no"),
        std::string("Ret 0,2,no"), std::string(" RET 0,2,no"), std::string("EXEC(1)\n"),
        std::string("SYSX\n"), Bytes("\0\0\0\0"), Bytes("RET\0 0,2,no"), std::string(5000, 'Q')}) {
    junk += Frame(m);
  }
  viewer.Run([junk](RawViewer& v) { AnswerInTurn(v, {junk + RetFrame(5, "real")}); });
  EXPECT_EQ(VxSendCmdA("Move", "1"), 5);
  EXPECT_EQ(LastResponseText(), "real");
  // The stream is still in step: the next answer belongs to the next command.
  EXPECT_EQ(VxSendCmdA("Move", "2"), 0);
  EXPECT_EQ(LastResponseText(), "fine");
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(Log().calls, 0);  // none of the junk was a call
  EXPECT_EQ(Log().broken, 1);
}

TEST_F(Hostile, ZeroLengthFramesAreSkipped) {
  RawViewer viewer;
  Connect(viewer);
  const std::string zeros(4 * 1000, '\0');  // a thousand empty frames
  const std::string answer =
      zeros + RetFrame(0, "after zeros") + zeros + Frame("EXE Tail(z)\n") + zeros;
  std::vector<std::string> rets;
  viewer.Run([&](RawViewer& v) { AnswerInTurn(v, {answer}, &rets); });
  EXPECT_EQ(VxSendCmdA("Zero", ""), 0);
  EXPECT_EQ(LastResponseText(), "after zeros");
  ASSERT_TRUE(WaitFor([] { return Log().calls.load() == 1; }));
  EXPECT_EQ(VxSendCmdA("Next", ""), 0);
  EXPECT_EQ(LastResponseText(), "fine");
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  ASSERT_EQ(SeenCalls().size(), 1u);
  EXPECT_EQ(SeenCalls()[0], "Tail|z");
  ASSERT_EQ(rets.size(), 1u);
  EXPECT_EQ(rets[0], "RET 0,2,OK");
}

class HugePrefix : public Hostile, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(HugePrefix, EndsTheConnectionAndTheWaitingCommand) {
  RawViewer viewer;
  Connect(viewer);
  const uint32_t declared = GetParam();
  viewer.Run([declared](RawViewer& v) {
    std::string m;
    if (v.ReadMessage(&m)) v.Send(FrameDeclaring(declared, "RET 0,2,OK"));
  });
  EXPECT_EQ(VxSendCmdA("Big", ""), VX_E_COMMUNICATION_BROKEN);
  viewer.Join();
  EXPECT_TRUE(viewer.WaitHostClosed());
  ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Big", ""), VX_E_NOT_CONNECTED);
}

// 2,000,000 is the first length no buffer is made for.
INSTANTIATE_TEST_SUITE_P(Lengths, HugePrefix,
                         ::testing::Values(0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x01000000u,
                                           2000000u));

TEST_F(Hostile, TheLargestAcceptedAnswerArrivesWhole) {
  RawViewer viewer;
  Connect(viewer);
  // 1,999,999 message bytes, the most a frame may hold.
  const std::string header = "RET 0,1999985,";
  std::string payload(1999999 - header.size(), '\0');
  ASSERT_EQ(payload.size(), 1999985u);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  const std::string answer = Frame(header + payload);
  viewer.Run([answer](RawViewer& v) { AnswerInTurn(v, {answer}); });
  EXPECT_EQ(VxSendCmdA("Huge", ""), 0);
  const std::string got = LastResponseText();
  EXPECT_EQ(got.size(), payload.size());
  EXPECT_TRUE(got == payload);
  EXPECT_EQ(VxSendCmdA("Small", ""), 0);
  EXPECT_EQ(LastResponseText(), "fine");
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
}

// How the viewer's side ends after it sent a frame cut short.
enum class End { Close, Reset, HostDisconnects };

const char* EndName(End e) {
  switch (e) {
    case End::Close: return "Close";
    case End::Reset: return "Reset";
    default: return "HostDisconnects";
  }
}

// Ends the viewer's side as e says; for HostDisconnects the viewer stays
// silent and another host thread disconnects while the command waits.
void EndConnection(End e, RawViewer& v, std::thread* hostThread) {
  switch (e) {
    case End::Close: v.Close(); break;
    case End::Reset: v.Reset(); break;
    case End::HostDisconnects:
      *hostThread = std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        VxDisconnect();
      });
      v.WaitHostClosed();
      break;
  }
}

class ShortFrame : public Hostile,
                   public ::testing::WithParamInterface<std::tuple<uint32_t, End>> {};

TEST_P(ShortFrame, TheWaitingCommandSeesTheBreakNotATornAnswer) {
  RawViewer viewer;
  Connect(viewer);
  const uint32_t declared = std::get<0>(GetParam());
  const End end = std::get<1>(GetParam());
  std::thread host;
  viewer.Run([&](RawViewer& v) {
    std::string m;
    if (!v.ReadMessage(&m)) return;
    // A whole, valid answer text, but the prefix promises more.
    v.Send(FrameDeclaring(declared, "RET 0,2,OK"));
    vxb::plat::SleepMs(20);
    EndConnection(end, v, &host);
  });
  EXPECT_EQ(VxSendCmdA("Cut", ""), VX_E_COMMUNICATION_BROKEN);
  EXPECT_EQ(LastResponseText(), "");
  viewer.Join();
  if (host.joinable()) host.join();
  ASSERT_TRUE(WaitFor([] { return Log().broken.load() == 1; }));
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_EQ(VxSendCmdA("Cut", ""), VX_E_NOT_CONNECTED);
}

std::string ShortFrameName(const ::testing::TestParamInfo<std::tuple<uint32_t, End>>& p) {
  return "Declared" + std::to_string(std::get<0>(p.param)) + "_" + EndName(std::get<1>(p.param));
}

INSTANTIATE_TEST_SUITE_P(LengthsAndEnds, ShortFrame,
                         ::testing::Combine(::testing::Values(11u, 100u, 1999999u),
                                            ::testing::Values(End::Close, End::Reset,
                                                              End::HostDisconnects)),
                         ShortFrameName);

struct RetCase {
  std::string message;
  int32_t code;
  std::string text;
};

// Answer headers that do not add up, each followed by a normal command on
// the same connection: none of them puts the stream out of step.
TEST_F(Hostile, AnswerHeadersThatDoNotAddUp) {
  const RetCase cases[] = {
      {"RET 2147483647,2,OK", 2147483647, "OK"},  // the largest viewer code
      {"RET 00000000000000000000000007,1,x", 7, "x"},
      // Codes past 2147483647 would read as negative: as the library's own
      // codes (4294967290 as -6, "broken") they would lie to the host.
      {"RET 2147483648,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 4294967290,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 4294967295", VX_E_INVALID_RESPONSE, ""},
      // A payload length past the message is cut to what is there.
      {"RET 0,4294967295,abc", 0, "abc"},
      {"RET 0,99999999999,abc", 0, "abc"},
      {"RET 3,50,short", 3, "short"},
      {"RET 3,5,", 3, ""},
      // Signs.
      {"RET -6,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET +0,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 0,-2,OK", 0, ""},
      // Missing or wrong separators.
      {"RET 3 2 OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 3;2;OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 3", 3, ""},
      {"RET 3,2OK", 3, ""},
      {"RET 3,,OK", 3, ""},
      {Bytes("RET 1\0,2,OK"), 1, ""},
      {Bytes("RET 0,3,\0\xFF\n"), 0, Bytes("\0\xFF\n")},
  };
  std::vector<std::string> answers;
  for (const RetCase& c : cases) {
    answers.push_back(Frame(c.message));
    answers.push_back(RetFrame(0, "in step"));
  }
  RawViewer viewer;
  Connect(viewer);
  viewer.Run([answers](RawViewer& v) { AnswerInTurn(v, answers); });
  for (const RetCase& c : cases) {
    EXPECT_EQ(VxSendCmdA("Odd", ""), c.code) << c.message;
    EXPECT_EQ(LastResponseText(), c.text) << c.message;
    EXPECT_EQ(VxSendCmdA("Even", ""), 0) << "after " << c.message;
    EXPECT_EQ(LastResponseText(), "in step") << "after " << c.message;
  }
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(Log().broken, 1);
}

}  // namespace
}  // namespace vxhostile
