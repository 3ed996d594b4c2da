// Scripts for `vxsim listen --script FILE`: rules that say how the viewer
// answers each call of the host, which calls it makes into the host around
// its answers, and what it does as soon as a host connects. The format is
// described in docs/TESTING.md.
#pragma once

#include "sim_session.h"

#include <string>
#include <vector>

namespace vxsim {

// One thing the viewer does, in the order the script lists them.
struct Action {
  enum class Kind { Call, Wait, Answer };
  Kind kind = Kind::Answer;
  OutgoingCall call;  // Call: a call into the host
  int ms = 0;         // Wait: a pause before the next action
  int code = 0;       // Answer: the RET to the host's call
  std::string text;
};

struct Rule {
  bool sys = false;      // matches a system call rather than a call
  std::string name;      // the call's name (calls only)
  bool anyArgs = true;   // "on Name" without parentheses: any arguments
  std::string pattern;   // the arguments' pattern, or the system call text's
  std::vector<Action> actions;
  int line = 0;
};

struct Script {
  std::vector<Action> start;      // once a host has connected
  std::vector<Rule> rules;        // the first that matches applies
  bool builtinDefault = false;    // "default builtin": vxsim's own viewer
  std::vector<Action> fallback;   // "default": for what no rule matches
};

// Returns false with "line N: what is wrong" in err.
bool parseScript(const std::string& text, Script& out, std::string& err);
// As parseScript, the error prefixed with the file's name: "FILE:N: ...".
bool loadScript(const std::string& path, Script& out, std::string& err);

}  // namespace vxsim
