// A viewer whose answers are odd: junk frames around them, headers that do
// not add up, the largest frame accepted, answers in one-byte segments.
#include <tuple>

#include "host_fixture.h"

namespace vxtest {
namespace {

// Each odd answer comes between junk and empty frames, and each is followed
// by a command whose answer (its own text echoed, code the row number) comes
// whole or in one-byte segments: none of it puts the stream out of step, and
// only the real call, itself in one-byte segments, becomes a call.
TEST_F(Hostile, OddAnswersKeepTheStreamInStep) {
  std::string largest(1999985, '\0');  // with its header 1,999,999 bytes, the most a frame may hold
  for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>('a' + i % 26);
  const std::tuple<std::string, int32_t, std::string> cases[] = {
      {"RET 5,4,real", 5, "real"}, {"RET 0,1999985," + largest, 0, largest},
      {"RET 2147483647,2,OK", 2147483647, "OK"},  // the largest viewer code
      {"RET 00000000000000000000000007,1,x", 7, "x"},
      // Past 2147483647 a code would read as negative: as the library's own
      // (4294967290 as -6, "broken") it would lie to the host.
      {"RET 2147483648,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 4294967290,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 4294967295", VX_E_INVALID_RESPONSE, ""},
      // A payload length past the message is cut to what is there.
      {"RET 0,4294967295,abc", 0, "abc"}, {"RET 0,99999999999,abc", 0, "abc"}, {"RET 0,4294967297,abc", 0, "abc"},
      {"RET 3,50,short", 3, "short"}, {"RET 3,5,", 3, ""}, {"RET 7,3,bad", 7, "bad"},
      {"RET 0,0,", 0, ""}, {"RET 0,9,cut", 0, "cut"}, {"RET x,1,a", VX_E_INVALID_RESPONSE, ""},
      {"RET 4,x,ab", 4, ""}, {"RET -6,2,OK", VX_E_INVALID_RESPONSE, ""},
      {"RET +0,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 0,-2,OK", 0, ""},
      {"RET ,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 4294967296,2,OK", VX_E_INVALID_RESPONSE, ""}, {"RET 3,", 3, ""},
      {"RET 3 2 OK", VX_E_INVALID_RESPONSE, ""}, {"RET 3;2;OK", VX_E_INVALID_RESPONSE, ""},
      {"RET 3", 3, ""}, {"RET 3,2OK", 3, ""}, {"RET 3,,OK", 3, ""},
      {Bytes("RET 1\0,2,OK"), 1, ""}, {Bytes("RET 3\0" "2,OK"), 3, ""},  // a NUL ends the header: no ","
      {Bytes("RET 0,3,\0\xFF\n"), 0, Bytes("\0\xFF\n")},
  };
  std::string junk(4 * 1000, '\0');  // a thousand empty frames
  for (const std::string& m : std::initializer_list<std::string>{
           "", "R", "RE", "RET", "EXE", "SYS", "ABCD", "ret 0,2,no", "Ret 0,2,no", " RET 0,2,no", "EXEC(1)\n",
           "SYSX\n", Bytes("\0\0\0\0"), Bytes("RET\0 0,2,no"), std::string(5000, 'Q')}) {
    junk += Frame(m);
  }
  ScriptPeer viewer;
  Connect(viewer);
  std::vector<std::string> rets;  // the host's answers to calls
  viewer.Run([&](TestPeer& v) {
    std::string m;
    for (int odd = 0; v.NextMessage(&m);) {
      if (m.compare(0, 4, "RET ") == 0) {
        rets.push_back(m);
      } else if (m == "EXE Odd()\n") {
        v.SendRaw(junk + Frame(std::get<0>(cases[odd++])) + junk);
        if (odd == 1) v.SendPieces(Frame("EXE Split(a,(b))\n"), 1, 1);
      } else {
        v.SendPieces(RetFrame(odd, m), odd % 8 == 1 ? 1 : m.size() + 20, 1);
      }
    }
  });
  int row = 0;
  for (const auto& [message, code, expected] : cases) {
    SCOPED_TRACE(message.substr(0, 40));
    EXPECT_EQ(VxSendCmdA("Odd", ""), code);
    const std::string text = LastResponseText();
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected) << text.substr(0, 40);
    const std::string n = std::to_string(++row);
    EXPECT_EQ(VxSendCmdA("Even", n.c_str()), row);
    EXPECT_EQ(LastResponseText(), "EXE Even(" + n + ")\n");
  }
  ASSERT_TRUE(WaitUntil([] { return Log().calls.load() == 1; }));
  EXPECT_EQ(VxDisconnect(), 0);
  viewer.Join();
  EXPECT_EQ(SeenCalls(), std::vector<std::string>{"Split|a,(b)"});
  EXPECT_EQ(rets, std::vector<std::string>{"RET 0,2,OK"});
  EXPECT_TRUE(BrokenRanOnce());
}

}  // namespace
}  // namespace vxtest
