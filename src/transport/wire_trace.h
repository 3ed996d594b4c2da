// The wire trace: with VXBRIDGE_TRACE set to "stderr" or to a file path when
// a connection opens (connect or accept), every frame sent and received and
// the connection's events are written one line each, e.g.
//
//   vxbridge 0.000000 -- connect to 127.0.0.1:27800
//   vxbridge 0.000153 >> call 15 bytes: EXE Add(2,40)\n
//   vxbridge 0.000412 << answer 10 bytes: RET 0,2,42
//   vxbridge 0.000790 -- disconnect by the host
//
// Seconds since the connection opened, direction (">>" sent, "<<" received,
// "--" event), kind, length and the bytes: printable ASCII as it is, \\ \n
// \r \t, every other byte as \xNN, a message past 256 bytes cut with the
// count of the bytes left out. A sink that cannot be opened or written turns
// the trace off; the connection never notices. Each connection has a trace
// of its own, opened when it starts and closed when it ends. Its first
// lines also say which of the connection's settings (the command time-out,
// the keep-alive) had a value that was not taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync.h"

namespace vxb {

// What a value of VXBRIDGE_TRACE asks for: off for unset, empty, "0",
// "false", "off" or "no"; the standard error for "stderr", "1", "true",
// "on" or "yes" (any letter case, as such variables are often set); a file
// of that path for anything else.
enum class TraceTarget { kOff, kStandardError, kFile };
TraceTarget TraceTargetOf(const char* value);

// The trace of one connection. Its lines are written by the connection's
// reader, its senders and whoever ends it, each whole under one lock.
class WireTrace {
 public:
  // What VXBRIDGE_TRACE asks for at the start of a connection (connect or
  // accept), opened and with its first line, event, written. Null when no
  // trace is asked for, or when its sink cannot be had (said once on
  // standard error): the connection never notices.
  static std::unique_ptr<WireTrace> Begin(const std::string& event) noexcept;
  ~WireTrace();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  // A framed message about to be sent, in two pieces (either may be empty).
  void Sent(const void* head, uint32_t headLength, const void* tail, uint32_t tailLength) noexcept;
  // Bytes sent as they are, without framing.
  void SentRaw(const void* data, uint32_t length) noexcept;
  // A whole message received (without its length prefix).
  void Received(const uint8_t* message, uint32_t length) noexcept;
  // A length prefix no buffer can take: the stream is given up.
  void TooLarge(uint32_t length) noexcept;
  // The connection ended: by the host, or it broke. Only the first end is
  // written; nothing is written after it and a trace file is closed.
  void Disconnected() noexcept;
  void Broke() noexcept;

 private:
  using Clock = std::chrono::steady_clock;
  explicit WireTrace(plat::OutputImpl* out) : out_(out) {}
  // Writes "vxbridge S.UUUUUU " + body + "\n"; a failed write, or the end
  // of the connection, closes the sink.
  void WriteLine(const std::string& body, bool endsConnection = false) noexcept;
  void WriteFrame(const char* direction, const char* kind, const uint8_t* first,
                  uint32_t firstLength, const uint8_t* second, uint32_t secondLength,
                  uint64_t total) noexcept;

  Lock lock_;
  plat::OutputImpl* out_ GUARDED_BY(lock_);
  const Clock::time_point start_ = Clock::now();
};

}  // namespace vxb
