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
// the trace off; the connection never notices.
#pragma once

#include <atomic>
#include <cstdint>

namespace vxb::trace {

extern std::atomic<bool> g_on;

// The one test on the path of every frame: with the trace off, a relaxed
// load and a branch.
inline bool On() { return g_on.load(std::memory_order_relaxed); }

// A connection opened (or, with a result other than 0, failed to): read
// VXBRIDGE_TRACE, (re)open its sink or close the previous one, restart the
// clock and write the event.
void BeginConnect(const char* host, uint16_t port, int result) noexcept;
void BeginAccept(uint16_t listenPort) noexcept;

// A framed message about to be sent, in two pieces (either may be empty).
void Sent(const void* head, uint32_t headLength, const void* tail, uint32_t tailLength) noexcept;
// Bytes sent as they are, without framing.
void SentRaw(const void* data, uint32_t length) noexcept;
// A whole message received (without its length prefix).
void Received(const uint8_t* message, uint32_t length) noexcept;
// A length prefix no buffer can take: the stream is given up.
void TooLarge(uint32_t length) noexcept;

// The connection ended: by the host, or it broke. Only the first end of a
// connection is written (the close of a disconnect is also seen as a break);
// the trace is off from then on and a trace file is closed.
void Disconnected() noexcept;
void Broke() noexcept;

}  // namespace vxb::trace
