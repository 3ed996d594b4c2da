// Checks vxsim's codec against literal wire bytes and the simulated viewer's answers.
#include "sim_frame.h"
#include "sim_trace.h"
#include "sim_viewer.h"

#include <gtest/gtest.h>

#include <string>

namespace vxsim {
namespace {

// Builds a byte string that may contain NULs.
std::string bytes(const char* data, std::size_t size) { return std::string(data, size); }

TEST(SimFrame, EncodesLiteralFrames) {
  EXPECT_EQ(frame(callMessage("VxSetLanguage", "'spa'")),
            bytes("\x19\0\0\0EXE VxSetLanguage('spa')\n", 29));
  EXPECT_EQ(frame(sysMessage("FLUSH")), bytes("\x0A\0\0\0SYS FLUSH\n", 14));
  EXPECT_EQ(frame(retMessage(0, "OK_ACK")), bytes("\x0E\0\0\0RET 0,6,OK_ACK", 18));
  EXPECT_EQ(frame(retMessage(0, "OK")), bytes("\x0A\0\0\0RET 0,2,OK", 14));
  EXPECT_EQ(retMessage(5, ""), "RET 5,0,");
  EXPECT_EQ(frame(std::string(0x1234, 'x')).substr(0, 4), bytes("\x34\x12\0\0", 4));
}

TEST(SimFrame, ParsesCalls) {
  Message m;
  std::string err;
  ASSERT_TRUE(parseMessage("EXE Foo(a(b),'c')\n", m, err));
  EXPECT_EQ(m.kind, Kind::Call);
  EXPECT_EQ(m.name, "Foo");
  EXPECT_EQ(m.args, "a(b),'c'");
  ASSERT_TRUE(parseMessage("EXE Bar(1,\n2)", m, err));
  EXPECT_EQ(m.name, "Bar");
  EXPECT_EQ(m.args, "1,2");
  ASSERT_TRUE(parseMessage("EXE Baz\n", m, err));
  EXPECT_EQ(m.name, "Baz");
  EXPECT_EQ(m.args, "");
  ASSERT_TRUE(parseMessage("SYS CANCELALL\n", m, err));
  EXPECT_EQ(m.kind, Kind::Sys);
  EXPECT_EQ(m.name, "SYS");
  EXPECT_EQ(m.args, "CANCELALL");
}

TEST(SimFrame, ParsesAndRejectsReturns) {
  Message m;
  std::string err;
  ASSERT_TRUE(parseMessage("RET 27,3,a,b", m, err));
  EXPECT_EQ(m.kind, Kind::Ret);
  EXPECT_EQ(m.code, 27);
  EXPECT_EQ(m.payload, "a,b");
  ASSERT_TRUE(parseMessage("RET 5,0,", m, err));
  EXPECT_EQ(m.payload, "");
  EXPECT_FALSE(parseMessage("RET -1,0,", m, err));
  EXPECT_FALSE(parseMessage("RET 0,5,OK", m, err));
  EXPECT_FALSE(parseMessage("RET 0,2OK", m, err));
  EXPECT_FALSE(parseMessage("GET /", m, err));
  EXPECT_FALSE(parseMessage("", m, err));
}

TEST(SimFrame, ReaderReassemblesSplitFrames) {
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

TEST(SimViewer, IdentifiesItself) {
  ViewerState amber;
  EXPECT_EQ(answerCall(amber, "VxGetTypeViewer", "").payload, "1001");
  ViewerState cobalt;
  ASSERT_TRUE(parseEdition("Cobalt", cobalt.edition));
  cobalt.version = "3.2.1.7";
  EXPECT_EQ(answerCall(cobalt, "VxGetTypeViewer", "").payload, "1002");
  const Reply version = answerCall(cobalt, "VxProductVersion", "");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.payload, "3.2.1.7");
}

TEST(SimViewer, LanguageSelectsErrorTexts) {
  ViewerState v;
  Reply r = answerCall(v, "NoSuchThing", "1");
  EXPECT_EQ(r.code, 26);
  EXPECT_EQ(r.payload, "Unknown command");
  r = answerCall(v, "VxSetLanguage", "'spa'");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.payload, "OK");
  EXPECT_EQ(answerCall(v, "NoSuchThing", "").payload, "Comando desconocido");
  EXPECT_EQ(answerCall(v, "VxSetLanguage", "'xyz'").code, code::kUnknownLanguage);
  EXPECT_EQ(answerCall(v, "VxSetLanguage", "spa").code, code::kInvalidArguments);
  EXPECT_EQ(v.language, "spa");
}

TEST(SimViewer, GetErrorString) {
  ViewerState v;
  EXPECT_EQ(answerCall(v, "GetErrorString", "'spa',1a").payload, "Comando desconocido");
  EXPECT_EQ(answerCall(v, "GetErrorString", "'cat',1b").payload, "Arguments no v\xE0lids");
  EXPECT_EQ(answerCall(v, "GetErrorString", "'eng',1d").payload, "Scene is empty");
  const Reply unknown = answerCall(v, "GetErrorString", "'eng',ff");
  EXPECT_EQ(unknown.code, 0);
  EXPECT_EQ(unknown.payload, "");
  EXPECT_EQ(answerCall(v, "GetErrorString", "eng").code, code::kInvalidArguments);
}

TEST(SimViewer, DemonstrativeCommands) {
  ViewerState v;
  EXPECT_EQ(answerCall(v, "Echo", "a(b),'c'").payload, "a(b),'c'");
  EXPECT_EQ(answerCall(v, "Add", "2,40").payload, "42");
  EXPECT_EQ(answerCall(v, "Add", "2,x").code, code::kInvalidArguments);
  EXPECT_EQ(answerCall(v, "LoadScene", "'scene.vx'").payload, "OK");
  EXPECT_EQ(answerCall(v, "LoadScene", "''").code, code::kInvalidArguments);
  EXPECT_EQ(answerCall(v, "GetCameraPosition", "").payload, "0.0,0.0,10.0");
  const Reply sleep = answerCall(v, "Sleep", "250");
  EXPECT_EQ(sleep.code, 0);
  EXPECT_EQ(sleep.delayMs, 250);
  EXPECT_EQ(answerSys(v, "FLUSH").payload, "OK");
  EXPECT_EQ(answerSys(v, "CANCELALL").code, 0);
  EXPECT_EQ(answerSys(v, "REBOOT").code, code::kUnknownCommand);
}

TEST(SimTrace, EscapesBytes) {
  EXPECT_EQ(escapeText(bytes("a\\b\n\x01\xE9", 6)), "a\\\\b\\n\\x01\\xE9");
  const std::string dump = traceFrame(true, "SYS FLUSH\n");
  EXPECT_EQ(dump.rfind(">> 10 bytes: SYS FLUSH\\n\n", 0), 0u);
  EXPECT_NE(dump.find("0000  0A 00 00 00 53 59 53 20  46 4C 55 53 48 0A"), std::string::npos);
}

}  // namespace
}  // namespace vxsim
