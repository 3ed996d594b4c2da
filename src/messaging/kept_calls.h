// KeptCalls: the viewer's calls that no handler took, kept for the host's
// VxRecvCmd, of every connection of the process in one queue in arrival
// order: the calls a client connection left are still there after the
// next connection, and come out before that connection's own. In server
// mode it also remembers, for each call the host took, which viewer the
// host now owes an answer, so that an answer can never reach a viewer
// other than the one whose call it answers.
//
// Process-wide and locked on its own (a leaf lock: taken under a
// session's lock, never around anything else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "vxbridge.h"
#include "platform/sync.h"
#include "transport/wire_format.h"

namespace vxb {

class KeptCalls {
 public:
  // A call is counted with its texts' blocks and this much more.
  static constexpr size_t kCallOverhead = 64;
  static size_t Footprint(const IncomingMessage& m) {
    // Moving a message keeps its blocks, so it counts the same wherever
    // it is held.
    return kCallOverhead + m.name.capacity() + m.args.capacity();
  }

  // Keeps a call of connection `session` (a server's: answered by the
  // host). False without memory: the call is then lost.
  bool Keep(IncomingMessage message, uint64_t session, bool server) EXCLUDES(lock_);
  // Takes the oldest kept call into record, cut to the record's fields;
  // the rest of each field is 0 for a server's call, spaces otherwise.
  // A server's call is then owed an answer.
  bool Take(CallRecord* record) EXCLUDES(lock_);
  // The calls a server connection left: its viewer is gone and can never
  // be answered, so they go (what the host already took stays owed).
  void DropOf(uint64_t session) EXCLUDES(lock_);
  // The connection the host owes its oldest answer to, now settled; 0 when
  // no answer is owed.
  uint64_t SettleOldestOwed() EXCLUDES(lock_);
  size_t Bytes() EXCLUDES(lock_);

 private:
  struct Kept {
    IncomingMessage message;
    uint64_t session;
    bool server;
  };

  Lock lock_;
  std::deque<Kept> kept_ GUARDED_BY(lock_);
  std::deque<uint64_t> owed_ GUARDED_BY(lock_);
  size_t bytes_ GUARDED_BY(lock_) = 0;
};

}  // namespace vxb
