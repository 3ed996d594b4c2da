// AnswerLine: pairs the viewer's answers with the commands they answer, by
// the rule of the wire alone: the viewer answers every EXE and SYS message
// with one RET, in the order it received them, so the k-th RET read
// answers the k-th message written. A command takes its place at the end
// of the line in the same turn that writes its message, so the order of
// the line is the order of the messages on the socket; each RET goes to
// the front of the line. Nothing else is looked at: no heuristics.
//
// A RET that comes while the line is empty answers a message not written
// yet (the viewer answered ahead of what it was asked): it is kept, within
// a limit, and is the answer of the next command to take its place.
//
// Not locked itself: its owner (the connection's session) keeps it under
// its lock, and wakes the commands whose answers are settled.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/answer.h"
#include "intrusive_queue.h"

namespace vxb {

// One command's place in the line, on the stack of the thread that waits.
struct Waiter {
  bool done = false;
  int result = 0;             // 0: answer holds the answer; else a result code
  Answer* answer = nullptr;   // the caller's hold once done
  void* wake = nullptr;       // the owner's way of waking the thread
  Waiter* next = nullptr;
};

class AnswerLine {
 public:
  AnswerLine() = default;
  // Lets go of the answers nobody asked for; no command may wait any more.
  ~AnswerLine() { DropUnasked(); }
  AnswerLine(const AnswerLine&) = delete;
  AnswerLine& operator=(const AnswerLine&) = delete;

  // Takes w's place at the end. An answer that came unasked is its answer
  // at once (w is then done).
  void Enqueue(Waiter* w);
  // Takes back w, not settled, whose message was never written (a command
  // whose time ran out before its turn to write): as the viewer never saw
  // it, the order of the rest still matches the order on the wire.
  void Withdraw(Waiter* w) { waiting_.Remove(w); }
  // One RET read: settles the command at the front and returns it, for its
  // thread to be woken; null when nobody waits (the answer is kept).
  // Takes over the reader's hold.
  Waiter* Deliver(Answer* answer);
  // The line ends: every waiting command is settled with result, each
  // handed to wake(context, waiter), and the unasked answers are dropped.
  void FailAll(int result, void (*wake)(void* context, Waiter* w), void* context);

  bool Empty() const { return waiting_.Empty(); }
  size_t UnaskedBytes() const { return unaskedBytes_; }

  // Answers nobody has asked for yet are kept up to this many bytes, each
  // counted by its block's real size plus kAnswerOverhead; past it the
  // oldest are dropped, so a viewer that answers far more than it is asked
  // cannot use up memory.
  static constexpr size_t kMaximumWaitingBytes = 16u << 20;
  static constexpr size_t kAnswerOverhead = 64;

 private:
  static size_t Weight(const Answer* answer) {
    return answer->block.capacity + kAnswerOverhead;
  }
  Answer* PopUnasked();
  void DropUnasked();

  IntrusiveQueue<Waiter> waiting_;
  IntrusiveQueue<Answer> unasked_;
  size_t unaskedBytes_ = 0;
};

}  // namespace vxb
