#include "sim_frame.h"

#include <cstdint>

namespace vxsim {
namespace {

std::string dropLineFeeds(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\n') out += c;
  return out;
}

// Parses a run of decimal digits starting at pos, up to the next comma.
bool readNumber(const std::string& s, std::size_t& pos, std::size_t limit, std::size_t& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + static_cast<std::size_t>(s[pos] - '0');
    if (value > limit) return false;
    ++pos;
  }
  if (pos == start || pos >= s.size() || s[pos] != ',') return false;
  ++pos;
  return true;
}

}  // namespace

std::string frame(const std::string& message) {
  const auto n = static_cast<std::uint32_t>(message.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + message;
}

std::string callMessage(const std::string& name, const std::string& args) {
  return "EXE " + name + "(" + args + ")\n";
}

std::string sysMessage(const std::string& text) { return "SYS " + text + "\n"; }

std::string retMessage(int code, const std::string& payload) {
  return "RET " + std::to_string(code) + "," + std::to_string(payload.size()) + "," + payload;
}

bool parseMessage(const std::string& message, Message& out, std::string& err) {
  out = Message{};
  const std::string tag = message.substr(0, 4);
  if (tag == "EXE ") {
    out.kind = Kind::Call;
    const std::size_t open = message.find('(', 4);
    out.name = dropLineFeeds(message.substr(4, open == std::string::npos ? open : open - 4));
    if (open != std::string::npos) {
      std::string rest = message.substr(open + 1);
      if (!rest.empty() && rest.back() == '\n') rest.pop_back();
      if (!rest.empty() && rest.back() == ')') rest.pop_back();
      out.args = dropLineFeeds(rest);
    }
    if (out.name.empty()) err = "call without a name";
    return err.empty();
  }
  if (tag == "SYS ") {
    out.kind = Kind::Sys;
    out.name = "SYS";
    out.args = dropLineFeeds(message.substr(4));
    return true;
  }
  if (tag == "RET ") {
    out.kind = Kind::Ret;
    std::size_t pos = 4, code = 0, length = 0;
    if (!readNumber(message, pos, 999999999, code) || !readNumber(message, pos, kMaxMessage, length)) {
      err = "RET header is not \"RET <code>,<length>,\"";
      return false;
    }
    if (message.size() - pos != length) {
      err = "RET announces " + std::to_string(length) + " payload bytes but carries " +
            std::to_string(message.size() - pos);
      return false;
    }
    out.code = static_cast<int>(code);
    out.payload = message.substr(pos);
    return true;
  }
  err = "unknown message kind (first 4 bytes must be EXE, SYS or RET and a space)";
  return false;
}

FrameReader::Result FrameReader::next(std::string& message, std::string& err) {
  if (buffer_.size() < 4) return Result::NeedMore;
  std::uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(buffer_[i]);
  if (n > limit_) {
    err = "frame announces " + std::to_string(n) + " bytes, more than the 16 MiB limit";
    return Result::TooLarge;
  }
  if (buffer_.size() - 4 < n) return Result::NeedMore;
  message = buffer_.substr(4, n);
  buffer_.erase(0, 4 + static_cast<std::size_t>(n));
  return Result::Message;
}

}  // namespace vxsim
