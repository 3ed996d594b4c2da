// vxsim's codec against literal wire bytes, and the simulated viewer's answers.
#include "sim_frame.h"
#include "sim_trace.h"
#include "sim_viewer.h"

#include <gtest/gtest.h>

#include <string>

namespace vxsim {
namespace {

using namespace std::string_literals;  // "..."s keeps NUL bytes

TEST(SimFrame, EncodesAndTracesLiteralFrames) {
  EXPECT_EQ(frame(callMessage("VxSetLanguage", "'spa'")), "\x19\0\0\0EXE VxSetLanguage('spa')\n"s);
  EXPECT_EQ(frame(sysMessage("FLUSH")), "\x0A\0\0\0SYS FLUSH\n"s);
  EXPECT_EQ(frame(retMessage(0, "OK_ACK")), "\x0E\0\0\0RET 0,6,OK_ACK"s);
  EXPECT_EQ(retMessage(5, ""), "RET 5,0,");
  EXPECT_EQ(frame(std::string(0x1234, 'x')).substr(0, 4), "\x34\x12\0\0"s);
  EXPECT_EQ(escapeText("a\\b\n\x01\xE9"s), "a\\\\b\\n\\x01\\xE9");
  const std::string dump = traceFrame(true, "SYS FLUSH\n");  // the trace vxsim --trace prints
  EXPECT_EQ(dump.rfind(">> 10 bytes: SYS FLUSH\\n\n", 0), 0u);
  EXPECT_NE(dump.find("0000  0A 00 00 00 53 59 53 20  46 4C 55 53 48 0A"), std::string::npos);
}

TEST(SimFrame, ParsesAndRejectsMessages) {
  const std::pair<const char*, const char*> cases[] = {
      // text, then kind|name|args|code|payload, or "" when refused
      {"EXE Foo(a(b),'c')\n", "0|Foo|a(b),'c'|0|"}, {"EXE Bar(1,\n2)", "0|Bar|1,2|0|"},
      {"EXE Baz\n", "0|Baz||0|"}, {"SYS CANCELALL\n", "1|SYS|CANCELALL|0|"},
      {"RET 27,3,a,b", "2|||27|a,b"}, {"RET 5,0,", "2|||5|"},
      {"RET -1,0,", ""}, {"RET 0,5,OK", ""}, {"RET 0,2OK", ""}, {"GET /", ""}, {"", ""},
  };
  for (const auto& [text, want] : cases) {
    Message m;
    std::string err;
    const bool ok = parseMessage(text, m, err);
    const std::string got = std::to_string(static_cast<int>(m.kind)) + "|" + m.name + "|" + m.args + "|" +
                            std::to_string(m.code) + "|" + m.payload;
    EXPECT_EQ(ok ? got : "", want) << text;
  }
}

TEST(SimFrame, ReaderReassemblesSplitFramesAndRefusesHugeOnes) {
  const std::string stream = frame("SYS FLUSH\n") + frame("RET 0,2,OK");
  FrameReader reader;
  std::string message, err;
  reader.feed(stream.data(), 3);
  EXPECT_EQ(reader.next(message, err), FrameReader::Result::NeedMore);
  reader.feed(stream.data() + 3, stream.size() - 3);
  ASSERT_EQ(reader.next(message, err), FrameReader::Result::Message);
  EXPECT_EQ(message, "SYS FLUSH\n");
  ASSERT_EQ(reader.next(message, err), FrameReader::Result::Message);
  EXPECT_EQ(message, "RET 0,2,OK");
  EXPECT_EQ(reader.next(message, err), FrameReader::Result::NeedMore);
  FrameReader huge;
  huge.feed("\x01\0\0\x01", 4);  // 16 MiB + 1
  EXPECT_EQ(huge.next(message, err), FrameReader::Result::TooLarge);
}

// One viewer answering in turn: the language a row sets holds for the next.
TEST(SimViewer, AnswersCallsInOrder) {
  const char* const cases[][3] = {
      // name (SYS: a system call), args, code|payload|delay
      {"VxGetTypeViewer", "", "0|1001|0"},
      {"NoSuchThing", "1", "26|Unknown command|0"},
      {"VxSetLanguage", "'spa'", "0|OK|0"},
      {"NoSuchThing", "", "26|Comando desconocido|0"},
      {"VxSetLanguage", "'xyz'", "30|Idioma no admitido|0"},
      {"VxSetLanguage", "spa", "27|Argumentos no v\xE1lidos|0"},
      {"GetErrorString", "'cat',1b", "0|Arguments no v\xE0lids|0"},
      {"GetErrorString", "'eng',1d", "0|Scene is empty|0"},
      {"GetErrorString", "'eng',ff", "0||0"},
      {"GetErrorString", "eng", "27|Argumentos no v\xE1lidos|0"},
      {"Echo", "a(b),'c'", "0|a(b),'c'|0"},
      {"Add", "2,x", "27|Argumentos no v\xE1lidos|0"},
      {"LoadScene", "'scene.vx'", "0|OK|0"},
      {"LoadScene", "''", "27|Argumentos no v\xE1lidos|0"},
      {"Sleep", "250", "0|OK|250"},
      {"SYS", "REBOOT", "26|Comando desconocido|0"},
  };
  ViewerState v;
  auto shown = [](const Reply& r) { return std::to_string(r.code) + "|" + r.payload + "|" + std::to_string(r.delayMs); };
  for (const auto& c : cases) {
    const Reply r = std::string(c[0]) == "SYS" ? answerSys(v, c[1]) : answerCall(v, c[0], c[1]);
    EXPECT_EQ(shown(r), c[2]) << c[0] << "(" << c[1] << ")";
  }
}

}  // namespace
}  // namespace vxsim
