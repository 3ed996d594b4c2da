// HeldCalls: the viewer's calls of one connection that the host has not
// finished with: queued for the dispatcher, the one it is delivering, and
// those kept for VxRecvCmd. Bounded in bytes, so a viewer that calls faster
// than the host takes its calls cannot use up the host's memory.
//
// Not locked itself: the connection's session keeps it under its lock.
#pragma once

#include <cstddef>
#include <deque>

#include "vxbridge.h"
#include "transport/wire_format.h"

namespace vxb {

class HeldCalls {
 public:
  // Calls held are counted with their texts' blocks and kCallOverhead more,
  // up to kMaximumHeldBytes in all.
  static constexpr size_t kMaximumHeldBytes = 64u << 20;
  static constexpr size_t kCallOverhead = 64;

  // Queues a call for the dispatcher. False when it cannot be held (past
  // the bound, or no memory); the connection must then end, as the viewer
  // would wait for an answer that never comes.
  bool Queue(IncomingMessage message);
  bool HasQueued() const { return !queued_.empty(); }
  // The oldest queued call, now in delivery (still counted).
  IncomingMessage TakeQueued();
  // The call in delivery is done with (answered, or lost).
  void Delivered(const IncomingMessage& message) { held_ -= Footprint(message); }
  // The call in delivery is kept for VxRecvCmd (still counted). False
  // without memory: it is then lost.
  bool Keep(IncomingMessage message);
  // Takes the oldest kept call into record, cut to the record's fields; the
  // rest of each field is 0 when zeroFill, spaces otherwise.
  bool TakeKept(CallRecord* record, bool zeroFill);
  void DropQueued();
  void DropKept();
  size_t HeldBytes() const { return held_; }

 private:
  static size_t Footprint(const IncomingMessage& m) {
    // Moving a message keeps its blocks, so it counts the same when queued,
    // delivered and kept.
    return kCallOverhead + m.name.capacity() + m.args.capacity();
  }

  std::deque<IncomingMessage> queued_;
  std::deque<IncomingMessage> kept_;
  size_t held_ = 0;
};

}  // namespace vxb
