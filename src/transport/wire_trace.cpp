#include "wire_trace.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace vxb::trace {

std::atomic<bool> g_on{false};

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVariable = "VXBRIDGE_TRACE";
// Bytes of a message shown before it is cut.
constexpr uint32_t kShown = 256;

// The sink and its clock. Made on the first connection that asks for a
// trace and never destroyed: a worker thread may still write while the
// library's objects are torn down at unload.
struct Sink {
  plat::MutexImpl* lock = plat::MutexCreate();
  plat::OutputImpl* out = nullptr;
  Clock::time_point start = Clock::now();
};

std::atomic<Sink*> g_sink{nullptr};

// Holds the sink's lock for one scope.
class Hold {
 public:
  explicit Hold(Sink& s) : s_(s) { plat::MutexEnter(s_.lock); }
  ~Hold() { plat::MutexLeave(s_.lock); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Sink& s_;
};

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

// Writes "vxbridge S.UUUUUU " + body + "\n" under the sink's lock. The
// stamp is taken under the lock, so the lines of one sink are in time order.
// A failed write switches the trace off until the next connect, and so does
// the end of the connection, which also lets go of a trace file.
void WriteLine(const std::string& body, bool endsConnection = false) {
  Sink* s = g_sink.load(std::memory_order_acquire);
  if (s == nullptr) return;
  try {
    Hold hold(*s);
    if (s->out == nullptr) return;  // off, or the connection's end was written
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - s->start);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "vxbridge %lld.%06lld ",
                  static_cast<long long>(us.count() / 1000000), static_cast<long long>(us.count() % 1000000));
    const std::string line = stamp + body + "\n";
    if (!plat::OutputWrite(s->out, line.data(), static_cast<uint32_t>(line.size())) || endsConnection) {
      g_on.store(false, std::memory_order_relaxed);
      plat::OutputClose(s->out);
      s->out = nullptr;
    }
  } catch (...) {
    // No memory for a line: that line is left out.
  }
}

// direction kind N bytes: text [... (M more bytes)]
void WriteFrame(const char* direction, const char* kind, const uint8_t* first, uint32_t firstLength,
                const uint8_t* second, uint32_t secondLength, uint64_t total) {
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

// "stderr", and a plain yes (1, true, yes, on: what such a variable is
// often set to) mean the standard error; anything else is a file's path.
bool MeansStandardError(const char* value) {
  std::string v(value);
  for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return v == "stderr" || v == "1" || v == "true" || v == "yes" || v == "on";
}

void Begin(const std::string& event) {
  char target[4096];
  const int32_t n = plat::EnvironmentValue(kVariable, target, sizeof target);
  // An overlong path is no path: it is not taken cut short.
  const bool wanted = n > 0 && n < static_cast<int32_t>(sizeof target);
  Sink* s = g_sink.load(std::memory_order_acquire);
  if (!wanted && s == nullptr) return;  // never traced: nothing to close
  if (s == nullptr) {
    s = new (std::nothrow) Sink;
    if (s == nullptr || s->lock == nullptr) return;  // no trace rather than a failed connect
    g_sink.store(s, std::memory_order_release);
  }
  bool cannotOpen = false;
  {
    Hold hold(*s);
    g_on.store(false, std::memory_order_relaxed);
    plat::OutputClose(s->out);
    s->out = nullptr;
    if (wanted) {
      s->out = MeansStandardError(target) ? plat::OutputStandardError() : plat::OutputOpenFile(target);
      cannotOpen = s->out == nullptr;
    }
    s->start = Clock::now();
    g_on.store(s->out != nullptr, std::memory_order_relaxed);
  }
  if (cannotOpen) {
    // Said once where a developer who set the variable will look.
    const std::string note =
        std::string("vxbridge: ") + kVariable + ": cannot open " + target + "; no trace\n";
    plat::OutputWrite(plat::OutputStandardError(), note.data(), static_cast<uint32_t>(note.size()));
    return;
  }
  if (On()) WriteLine("-- " + event);
}

}  // namespace

void BeginConnect(const char* host, uint16_t port, int result) noexcept {
  try {
    Begin(std::string("connect to ") + host + ":" + std::to_string(port) +
          (result == 0 ? "" : " failed (" + std::to_string(result) + ")"));
  } catch (...) {
  }
}

void BeginAccept(uint16_t listenPort) noexcept {
  try {
    Begin("accept on port " + std::to_string(listenPort));
  } catch (...) {
  }
}

void Sent(const void* head, uint32_t headLength, const void* tail, uint32_t tailLength) noexcept {
  const auto* h = static_cast<const uint8_t*>(head);
  const auto* t = static_cast<const uint8_t*>(tail);
  if (t == nullptr) tailLength = 0;
  // Every framed message starts with its tag, and the head holds it whole.
  WriteFrame(">>", KindOf(h, headLength), h, headLength, t, tailLength,
             static_cast<uint64_t>(headLength) + tailLength);
}

void SentRaw(const void* data, uint32_t length) noexcept {
  WriteFrame(">>", "raw", static_cast<const uint8_t*>(data), length, nullptr, 0, length);
}

void Received(const uint8_t* message, uint32_t length) noexcept {
  if (message == nullptr) length = 0;
  WriteFrame("<<", KindOf(message, length), message, length, nullptr, 0, length);
}

void TooLarge(uint32_t length) noexcept {
  try {
    WriteLine("-- break: a frame of " + std::to_string(length) + " bytes announced, larger than any buffer",
              true);
  } catch (...) {
  }
}

void Disconnected() noexcept {
  try {
    WriteLine("-- disconnect by the host", true);
  } catch (...) {
  }
}

void Broke() noexcept {
  try {
    WriteLine("-- break: the connection was closed or lost", true);
  } catch (...) {
  }
}

}  // namespace vxb::trace
