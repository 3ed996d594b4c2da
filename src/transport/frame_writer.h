// The one place where outgoing messages become bytes on the socket: each is
// given its 4-byte length (or, sent raw, none), traced once, and a batch of
// them leaves in one send.
#pragma once

#include <cstdint>

#include "socket_link.h"

namespace vxb {

// One message to write: a head and a tail, either of which may be empty
// (a header on the caller's stack and a payload of the caller's, say).
struct OutFrame {
  const void* head = nullptr;
  uint32_t headLength = 0;
  const void* tail = nullptr;
  uint32_t tailLength = 0;
  bool framed = true;  // a 4-byte length first; else the bytes as they are
  // The next frame of the same send (null: the last).
  const OutFrame* nextInSend = nullptr;
};

// The frame's size on the wire.
inline uint32_t WireSize(const OutFrame& f) {
  return (f.framed ? 4u : 0u) + f.headLength + (f.tail != nullptr ? f.tailLength : 0u);
}

// Writes first and the frames linked behind it, in order, in one send
// within timeoutMs (plat::kInfinite: no limit), each traced once before it
// leaves (its answer may be read, and traced, before the send returns).
// 0, or -6: the send failed or ran out of time, and the link is closed
// (part of the bytes may have left). One writer at a time.
int WriteFrames(SocketLink& link, const OutFrame* first, uint32_t timeoutMs);

}  // namespace vxb
