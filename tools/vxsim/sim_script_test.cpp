// Scripts: which rule a call of the host meets and what the viewer then
// writes (literal messages), a malformed script's line and reason, and the
// patterns that scripts and replays share.
#include "sim_pattern.h"
#include "sim_script.h"
#include "sim_script_viewer.h"

#include <gtest/gtest.h>

#include <string>

namespace vxsim {
namespace {

using namespace std::string_literals;  // "..."s keeps NUL bytes

// The actions as the viewer carries them out: the messages it writes and
// its pauses, "|" between them.
std::string played(const std::vector<Action>& actions) {
  std::string out;
  for (const Action& a : actions) {
    if (!out.empty()) out += "|";
    if (a.kind == Action::Kind::Call) out += a.call.message;
    else if (a.kind == Action::Kind::Wait) out += "wait " + std::to_string(a.ms);
    else out += retMessage(a.code, a.text);
  }
  return out;
}

std::string answer(const Script& script, ViewerState& viewer, const std::string& message) {
  Message m;
  std::string err;
  EXPECT_TRUE(parseMessage(message, m, err)) << message;
  return played(respond(script, viewer, m));
}

TEST(SimScript, RulesMatchInOrderAndAnswerAsWritten) {
  const std::string text =
      "# the viewer of a test\n"
      "start\n"
      "  call Notify(scene-loaded)\n"
      "  wait 5\n"
      "\n"
      "on LoadScene('*.v3d')\n"
      "  call Progress(0)\n"
      "  wait 250\n"
      "  answer 0 \"OK\"\n"
      "  call SYS REDRAW\n"
      "on LoadScene\n"
      "  answer 28 \"Object not found\"\n"
      "on Echo()\n"
      "\tanswer 0 \"empty\"\n"
      "on Echo(a\\*?)\n"
      "  answer 0 \"star\"   \r\n"
      "on SYS FLUSH\n"
      "  answer 0 \"done\\n\\x00\\\"\\\\\"\n"
      "on Quiet\n"
      "  answer -5\n"
      "default\n"
      "  answer 26 \"Unknown\"\n";
  Script script;
  std::string err;
  ASSERT_TRUE(parseScript(text, script, err)) << err;
  EXPECT_EQ(played(script.start), "EXE Notify(scene-loaded)\n|wait 5");
  const std::pair<const char*, std::string> cases[] = {
      {"EXE LoadScene('big.v3d')\n", "EXE Progress(0)\n|wait 250|RET 0,2,OK|SYS REDRAW\n"},
      {"EXE LoadScene('big.obj')\n", "RET 28,16,Object not found"},
      {"EXE LoadScene\n", "RET 28,16,Object not found"},
      {"EXE Echo()\n", "RET 0,5,empty"},
      {"EXE Echo(a*b)\n", "RET 0,4,star"},
      {"EXE Echo(abb)\n", "RET 26,7,Unknown"},
      {"EXE echo()\n", "RET 26,7,Unknown"},
      {"SYS FLUSH\n", "RET 0,8,done\n\0\"\\"s},
      {"SYS CANCELALL\n", "RET 26,7,Unknown"},
      {"EXE Quiet(1)\n", "RET -5,0,"},
  };
  ViewerState viewer;
  for (const auto& [message, want] : cases) EXPECT_EQ(answer(script, viewer, message), want) << message;
}

TEST(SimScript, DefaultsToUnknownCommandOrToTheBuiltInViewer) {
  Script plain, builtin;
  std::string err;
  ASSERT_TRUE(parseScript("on Add(2,2)\n  answer 0 \"5\"\n", plain, err)) << err;
  ASSERT_TRUE(parseScript("default builtin\non Add(2,2)\n  answer 0 \"5\"\n", builtin, err)) << err;
  ViewerState viewer;
  EXPECT_EQ(answer(plain, viewer, "EXE Add(2,2)\n"), "RET 0,1,5");
  EXPECT_EQ(answer(plain, viewer, "EXE Add(1,1)\n"), "RET 26,15,Unknown command");
  EXPECT_EQ(answer(builtin, viewer, "EXE Add(2,2)\n"), "RET 0,1,5");
  EXPECT_EQ(answer(builtin, viewer, "EXE Add(1,1)\n"), "wait 0|RET 0,1,2");
  EXPECT_EQ(answer(builtin, viewer, "EXE Sleep(30)\n"), "wait 30|RET 0,2,OK");
}

TEST(SimScript, RejectsAMalformedScriptWithItsLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"on Add\n", "line 1: the block of line 1 has no answer"},
      {"on A\n  answer 0\non B\n  call X\non C\n  answer 0\n", "line 3: the block of line 3 has no answer"},
      {"answer 0 \"x\"\n", "line 1: 'answer' outside a block (begin one with on, start or default)"},
      {"on Add\n  answer zero\n", "line 2: 'answer' needs a code (a whole number), got 'zero'"},
      {"\n# x\non Add(2\n", "line 3: the arguments of 'on Add(' do not end with ')' at the end of the line"},
      {"on\n", "line 1: 'on' needs a command name, as in 'on Name', 'on Name(ARGS)' or 'on SYS TEXT'"},
      {"start\n  answer 0\n", "line 2: 'start' takes no answer: no call of the host is waiting for one"},
      {"on A\n  answer 0 \"x\n", "line 2: the answer text has no closing quote"},
      {"on A\n  answer 0 \"x\" y\n", "line 2: unexpected ' y' after the answer text's closing quote"},
      {"on A\n  answer 0 OK\n", "line 2: the answer text must be in double quotes, got 'OK'"},
      {"on A\n  answer 0 \"\\q\"\n",
       "line 2: unknown escape '\\q' in the answer text (\\\\ \\\" \\n \\r \\t \\xHH)"},
      {"on A\n  wait soon\n  answer 0\n", "line 2: 'wait' needs milliseconds from 0 to 600000, got 'soon'"},
      {"on A\n  answer 0\n  answer 1\n", "line 3: a second answer in the block of line 1"},
      {"on A\n  call\n", "line 2: 'call' needs a call, as in 'call Name(ARGS)' or 'call SYS TEXT'"},
      {"start\nstart\n", "line 2: a second 'start' block (the first is on line 1)"},
      {"default soon\n", "line 1: 'default' takes nothing after it but 'builtin'"},
      {"default builtin\n  answer 0\n", "line 2: 'answer' outside a block ('default builtin' takes no actions)"},
      {"respond A\n", "line 1: unknown keyword 'respond' (a line starts with on, start, default, call, wait or "
                      "answer)"},
  };
  for (const auto& [text, want] : cases) {
    Script script;
    std::string err;
    EXPECT_FALSE(parseScript(text, script, err)) << text;
    EXPECT_EQ(err, want) << text;
  }
}

TEST(SimPattern, MatchesStarsQuestionMarksAndEscapes) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"*", "", true},       {"a*c", "abbbc", true},  {"a*c", "abcd", false},      {"?", "", false},
      {"?b", "ab", true},    {"*a*b", "xaxxb", true}, {"*a*b", "xaxxbc", false},   {"\\*", "*", true},
      {"\\*", "a", false},   {"a\\?", "a?", true},    {"'*.v3d'", "'x.v3d'", true}, {"", "", true},
      {"2,*", "2,40", true}, {"2,*", "20,4", false},
  };
  for (const auto& [pattern, text, want] : cases)
    EXPECT_EQ(matchesPattern(pattern, text), want) << pattern << " " << text;
}

}  // namespace
}  // namespace vxsim
