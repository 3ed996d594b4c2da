#include "wire_trace.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "command_timeout_setting.h"
#include "keepalive_setting.h"
#include "platform/platform.h"

namespace vxb {

namespace {

constexpr const char* kVariable = "VXBRIDGE_TRACE";
// Bytes of a message shown before it is cut.
constexpr uint32_t kShown = 256;

bool EqualsIgnoringCase(const char* value, const char* word) {
  size_t i = 0;
  while (word[i] != 0 && std::tolower(static_cast<unsigned char>(value[i])) == word[i]) ++i;
  return word[i] == 0 && value[i] == 0;
}

void AppendEscaped(std::string& line, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t c = bytes[i];
    if (c == '\\') line += "\\\\";
    else if (c == '\n') line += "\\n";
    else if (c == '\r') line += "\\r";
    else if (c == '\t') line += "\\t";
    else if (c >= 0x20 && c < 0x7F) line += static_cast<char>(c);
    else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      line += hex;
    }
  }
}

const char* KindOf(const uint8_t* message, uint32_t length) {
  if (length == 0) return "empty";
  if (length >= 4) {
    if (std::memcmp(message, "EXE ", 4) == 0) return "call";
    if (std::memcmp(message, "SYS ", 4) == 0) return "system";
    if (std::memcmp(message, "RET ", 4) == 0) return "answer";
  }
  return "unknown";
}

}  // namespace

// Compared without allocating: it runs where a failure must not throw.
TraceTarget TraceTargetOf(const char* value) {
  if (value == nullptr || *value == 0) return TraceTarget::kOff;
  for (const char* no : {"0", "false", "off", "no"}) {
    if (EqualsIgnoringCase(value, no)) return TraceTarget::kOff;
  }
  for (const char* yes : {"stderr", "1", "true", "on", "yes"}) {
    if (EqualsIgnoringCase(value, yes)) return TraceTarget::kStandardError;
  }
  return TraceTarget::kFile;
}

std::unique_ptr<WireTrace> WireTrace::Begin(const std::string& event) noexcept {
  char target[4096];
  const int32_t n = plat::EnvironmentValue(kVariable, target, sizeof target);
  // An overlong path is no path: it is not taken cut short.
  if (n <= 0 || n >= static_cast<int32_t>(sizeof target)) return nullptr;
  const TraceTarget wanted = TraceTargetOf(target);
  if (wanted == TraceTarget::kOff) return nullptr;
  plat::OutputImpl* out =
      wanted == TraceTarget::kStandardError ? plat::OutputStandardError() : plat::OutputOpenFile(target);
  if (out == nullptr) {
    // Said once where a developer who set the variable will look.
    try {
      const std::string note =
          std::string("vxbridge: ") + kVariable + ": cannot open " + target + "; no trace\n";
      plat::OutputWrite(plat::OutputStandardError(), note.data(), static_cast<uint32_t>(note.size()));
    } catch (...) {
    }
    return nullptr;
  }
  std::unique_ptr<WireTrace> trace(new (std::nothrow) WireTrace(out));
  if (trace == nullptr) {
    plat::OutputClose(out);
    return nullptr;  // no trace rather than a failed connect
  }
  try {
    trace->WriteLine("-- " + event);
    // The settings this connection read and could not take: said where a
    // host that traces will look, as the library prints nothing itself.
    std::string note;
    CommandTimeoutSetting(&note);
    if (!note.empty()) trace->WriteLine("-- " + note);
    note.clear();
    KeepAliveFromEnvironment(&note);
    if (!note.empty()) trace->WriteLine("-- " + note);
  } catch (...) {
  }
  return trace;
}

WireTrace::~WireTrace() {
  Guard g(lock_);
  plat::OutputClose(out_);
  out_ = nullptr;
}

// The stamp is taken under the lock, so the lines are in time order.
void WireTrace::WriteLine(const std::string& body, bool endsConnection) noexcept {
  try {
    Guard g(lock_);
    if (out_ == nullptr) return;  // the end was written, or a write failed
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "vxbridge %lld.%06lld ",
                  static_cast<long long>(us.count() / 1000000), static_cast<long long>(us.count() % 1000000));
    const std::string line = stamp + body + "\n";
    if (!plat::OutputWrite(out_, line.data(), static_cast<uint32_t>(line.size())) || endsConnection) {
      plat::OutputClose(out_);
      out_ = nullptr;
    }
  } catch (...) {
    // No memory for a line: that line is left out.
  }
}

// direction kind N bytes: text [... (M more bytes)]
void WireTrace::WriteFrame(const char* direction, const char* kind, const uint8_t* first,
                           uint32_t firstLength, const uint8_t* second, uint32_t secondLength,
                           uint64_t total) noexcept {
  try {
    std::string body = std::string(direction) + " " + kind + " " + std::to_string(total) + " bytes: ";
    const uint32_t fromFirst = firstLength < kShown ? firstLength : kShown;
    AppendEscaped(body, first, fromFirst);
    const uint32_t room = kShown - fromFirst;
    AppendEscaped(body, second, secondLength < room ? secondLength : room);
    if (total > kShown) body += " ... (" + std::to_string(total - kShown) + " more bytes)";
    WriteLine(body);
  } catch (...) {
  }
}

void WireTrace::Sent(const void* head, uint32_t headLength, const void* tail,
                     uint32_t tailLength) noexcept {
  const auto* h = static_cast<const uint8_t*>(head);
  const auto* t = static_cast<const uint8_t*>(tail);
  if (t == nullptr) tailLength = 0;
  // Every framed message starts with its tag, and the head holds it whole.
  WriteFrame(">>", KindOf(h, headLength), h, headLength, t, tailLength,
             static_cast<uint64_t>(headLength) + tailLength);
}

void WireTrace::SentRaw(const void* data, uint32_t length) noexcept {
  WriteFrame(">>", "raw", static_cast<const uint8_t*>(data), length, nullptr, 0, length);
}

void WireTrace::Received(const uint8_t* message, uint32_t length) noexcept {
  if (message == nullptr) length = 0;
  WriteFrame("<<", KindOf(message, length), message, length, nullptr, 0, length);
}

void WireTrace::TooLarge(uint32_t length) noexcept {
  try {
    WriteLine("-- break: a frame of " + std::to_string(length) +
                  " bytes announced, larger than any buffer",
              true);
  } catch (...) {
  }
}

void WireTrace::Disconnected() noexcept {
  try {
    WriteLine("-- disconnect by the host", true);
  } catch (...) {
  }
}

void WireTrace::Broke() noexcept {
  try {
    WriteLine("-- break: the connection was closed or lost", true);
  } catch (...) {
  }
}

}  // namespace vxb
