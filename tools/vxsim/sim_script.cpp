#include "sim_script.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vxsim {
namespace {

constexpr int kMaxWaitMs = 600000;

std::string trimmed(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool parseWhole(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "TEXT" with \\ \" \n \r \t \xHH escapes; nothing may follow it.
bool parseQuoted(const std::string& s, std::string& out, std::string& err) {
  if (s.empty() || s[0] != '"') {
    err = "the answer text must be in double quotes, got '" + s + "'";
    return false;
  }
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      if (i + 1 == s.size()) return true;
      err = "unexpected '" + s.substr(i + 1) + "' after the answer text's closing quote";
      return false;
    }
    if (c == '\\' && i + 1 < s.size()) {
      c = s[++i];
      if (c == 'n') c = '\n';
      else if (c == 'r') c = '\r';
      else if (c == 't') c = '\t';
      else if (c == 'x' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
        c = static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
        i += 2;
      } else if (c != '\\' && c != '"') {
        err = std::string("unknown escape '\\") + c + "' in the answer text (\\\\ \\\" \\n \\r \\t \\xHH)";
        return false;
      }
    }
    out += c;
  }
  err = "the answer text has no closing quote";
  return false;
}

class Parser {
 public:
  explicit Parser(Script& script) : script_(script) {}

  bool line(const std::string& raw, int number, std::string& err) {
    number_ = number;
    const std::string text = trimmed(raw);
    if (text.empty() || text[0] == '#') return true;
    const std::size_t space = text.find_first_of(" \t");
    const std::string word = text.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : trimmed(text.substr(space));
    if (word == "on" || word == "start" || word == "default")
      return finishBlock(err) && header(word, rest, err);
    if (word == "call" || word == "wait" || word == "answer") return action(word, rest, err);
    err = "unknown keyword '" + word + "' (a line starts with on, start, default, call, wait or answer)";
    return false;
  }

  bool finishBlock(std::string& err) {
    if (block_ != Block::None && needsAnswer_ && !answered_) {
      err = "the block of line " + std::to_string(blockLine_) + " has no answer";
      number_ = blockLine_;
      return false;
    }
    return true;
  }

  int number() const { return number_; }

 private:
  bool header(const std::string& word, const std::string& rest, std::string& err) {
    blockLine_ = number_;
    answered_ = false;
    needsAnswer_ = word != "start";
    if (word == "start" || word == "default") {
      int& seen = word == "start" ? startLine_ : defaultLine_;
      if (seen > 0) {
        err = "a second '" + word + "' block (the first is on line " + std::to_string(seen) + ")";
        return false;
      }
      seen = number_;
      const bool builtin = word == "default" && rest == "builtin";
      if (!rest.empty() && !builtin) {
        err = "'" + word + "' takes nothing after it" + (word == "default" ? " but 'builtin'" : "");
        return false;
      }
      script_.builtinDefault = builtin;
      needsAnswer_ = needsAnswer_ && !builtin;
      block_ = builtin ? Block::None : word == "start" ? Block::Start : Block::Default;
      return true;
    }
    Rule rule;
    rule.line = number_;
    if (rest == "SYS" || rest.compare(0, 4, "SYS ") == 0) {
      rule.sys = true;
      rule.anyArgs = rest == "SYS";
      rule.pattern = trimmed(rest.substr(3));
    } else {
      const std::size_t open = rest.find('(');
      rule.name = trimmed(rest.substr(0, open));
      if (rule.name.empty() || rule.name.find_first_of(" \t)") != std::string::npos) {
        err = "'on' needs a command name, as in 'on Name', 'on Name(ARGS)' or 'on SYS TEXT'";
        return false;
      }
      if (open != std::string::npos) {
        if (rest.back() != ')') {
          err = "the arguments of 'on " + rule.name + "(' do not end with ')' at the end of the line";
          return false;
        }
        rule.anyArgs = false;
        rule.pattern = rest.substr(open + 1, rest.size() - open - 2);
      }
    }
    script_.rules.push_back(rule);
    block_ = Block::Rule;
    return true;
  }

  bool action(const std::string& word, const std::string& rest, std::string& err) {
    if (block_ == Block::None) {
      err = "'" + word + "' outside a block" +
            (blockLine_ > 0 ? std::string(" ('default builtin' takes no actions)")
                            : std::string(" (begin one with on, start or default)"));
      return false;
    }
    Action a;
    if (word == "call") {
      a.kind = Action::Kind::Call;
      if (!makeOutgoingCall(rest, a.call)) {
        err = "'call' needs a call, as in 'call Name(ARGS)' or 'call SYS TEXT'";
        return false;
      }
    } else if (word == "wait") {
      a.kind = Action::Kind::Wait;
      long long ms = 0;
      if (!parseWhole(rest, 0, kMaxWaitMs, ms)) {
        err = "'wait' needs milliseconds from 0 to " + std::to_string(kMaxWaitMs) + ", got '" + rest + "'";
        return false;
      }
      a.ms = static_cast<int>(ms);
    } else {
      if (!needsAnswer_) {
        err = "'start' takes no answer: no call of the host is waiting for one";
        return false;
      }
      if (answered_) {
        err = "a second answer in the block of line " + std::to_string(blockLine_);
        return false;
      }
      const std::size_t space = rest.find_first_of(" \t");
      const std::string codeText = rest.substr(0, space);
      long long code = 0;
      if (!parseWhole(codeText, -2147483647LL - 1, 2147483647LL, code)) {
        err = "'answer' needs a code (a whole number), got '" + codeText + "'";
        return false;
      }
      a.code = static_cast<int>(code);
      if (space != std::string::npos && !parseQuoted(trimmed(rest.substr(space)), a.text, err)) return false;
      answered_ = true;
    }
    actions().push_back(a);
    return true;
  }

  enum class Block { None, Start, Default, Rule };

  std::vector<Action>& actions() {
    if (block_ == Block::Start) return script_.start;
    if (block_ == Block::Default) return script_.fallback;
    return script_.rules.back().actions;
  }

  Script& script_;
  Block block_ = Block::None;
  int number_ = 0, blockLine_ = 0, startLine_ = 0, defaultLine_ = 0;
  bool needsAnswer_ = false, answered_ = false;
};

}  // namespace

bool parseScript(const std::string& text, Script& out, std::string& err) {
  out = Script{};
  Parser parser(out);
  std::size_t begin = 0;
  int number = 0;
  bool ok = true;
  while (ok && begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    ok = parser.line(text.substr(begin, end - begin), ++number, err);
    begin = end + 1;
  }
  ok = ok && parser.finishBlock(err);
  if (!ok) err = "line " + std::to_string(parser.number()) + ": " + err;
  if (ok && out.fallback.empty() && !out.builtinDefault) {
    Action unknown;
    unknown.code = 26;
    unknown.text = "Unknown command";
    out.fallback.push_back(unknown);
  }
  return ok;
}

bool loadScript(const std::string& path, Script& out, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read the script " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (parseScript(text, out, err)) return true;
  err = path + ":" + err.substr(5);  // "line N: ..." becomes "FILE:N: ..."
  return false;
}

}  // namespace vxsim
