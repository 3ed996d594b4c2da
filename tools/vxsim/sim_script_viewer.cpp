#include "sim_script_viewer.h"

#include "sim_pattern.h"

namespace vxsim {

std::vector<Action> respond(const Script& script, ViewerState& viewer, const Message& call) {
  const bool sys = call.kind == Kind::Sys;
  for (const Rule& rule : script.rules) {
    if (rule.sys != sys || (!sys && rule.name != call.name)) continue;
    if (rule.anyArgs || matchesPattern(rule.pattern, call.args)) return rule.actions;
  }
  if (!script.builtinDefault) return script.fallback;
  const Reply reply = sys ? answerSys(viewer, call.args) : answerCall(viewer, call.name, call.args);
  Action wait, answer;
  wait.kind = Action::Kind::Wait;
  wait.ms = reply.delayMs;
  answer.code = reply.code;
  answer.text = reply.payload;
  return {wait, answer};
}

}  // namespace vxsim
