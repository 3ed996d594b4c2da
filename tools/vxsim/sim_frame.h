// vxsim's own codec for the wire messages. It deliberately shares no code with
// the library so that the two act as independent peers and catch each other's
// mistakes. A frame is a 4-byte little-endian length followed by the message.
#pragma once

#include <cstddef>
#include <string>

namespace vxsim {

// Anything larger is treated as a corrupt stream rather than buffered.
inline constexpr std::size_t kMaxMessage = 16u * 1024u * 1024u;

enum class Kind { Call, Sys, Ret };

struct Message {
  Kind kind = Kind::Call;
  std::string name;     // call name; "SYS" for a system call
  std::string args;     // call arguments, or the system call text
  int code = 0;         // RET only
  std::string payload;  // RET only
};

std::string frame(const std::string& message);
std::string callMessage(const std::string& name, const std::string& args);
std::string sysMessage(const std::string& text);
std::string retMessage(int code, const std::string& payload);

// Returns false, with a reason in err, for anything that is not a valid message.
bool parseMessage(const std::string& message, Message& out, std::string& err);

// Accumulates received bytes and cuts complete messages out of them.
class FrameReader {
 public:
  enum class Result { Message, NeedMore, TooLarge };

  // A frame that announces more than `limit` bytes is TooLarge.
  explicit FrameReader(std::size_t limit = kMaxMessage) : limit_(limit) {}
  void feed(const char* data, std::size_t size) { buffer_.append(data, size); }
  Result next(std::string& message, std::string& err);
  // The bytes received after the last whole frame.
  const std::string& pending() const { return buffer_; }

 private:
  std::size_t limit_;
  std::string buffer_;
};

}  // namespace vxsim
