// HeldCalls: the viewer's calls of one connection on their way to the
// host: queued for the dispatcher, and the one it is delivering. Bounded in
// bytes together with the calls kept for VxRecvCmd, so a viewer that calls
// faster than the host takes its calls cannot use up the host's memory.
//
// Not locked itself: the connection's session keeps it under its lock.
#pragma once

#include <cstddef>
#include <deque>

#include "kept_calls.h"
#include "transport/wire_format.h"

namespace vxb {

class HeldCalls {
 public:
  // Calls held (queued, in delivery and kept for the host) are counted by
  // KeptCalls::Footprint, up to kMaximumHeldBytes in all.
  static constexpr size_t kMaximumHeldBytes = 64u << 20;

  // Queues a call for the dispatcher, with keptBytes already kept for the
  // host. False when it cannot be held (past the bound, or no memory); the
  // connection must then end, as the viewer would wait for an answer that
  // never comes.
  bool Queue(IncomingMessage message, size_t keptBytes);
  bool HasQueued() const { return !queued_.empty(); }
  // The oldest queued call, now in delivery (still counted).
  IncomingMessage TakeQueued();
  // The call in delivery is done with (answered, kept elsewhere, or lost).
  void Delivered(const IncomingMessage& message) { held_ -= KeptCalls::Footprint(message); }
  void DropQueued();
  size_t HeldBytes() const { return held_; }

 private:
  std::deque<IncomingMessage> queued_;
  size_t held_ = 0;
};

}  // namespace vxb
