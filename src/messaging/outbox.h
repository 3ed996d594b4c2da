// Outbox: the messages of one connection waiting to be written, in the
// order they were handed in, which is the order of the bytes on the wire
// (and of the line of commands waiting for answers).
//
// Each message is written by its own thread, under its own deadline: the
// owner of the message at the front has the turn, writes its message (and
// the small ones right behind it that may share the send) and passes the
// turn to the owner of the next. So nobody writes once its own message is
// out, a large message is never written under another thread's deadline,
// and threads that send at the same moment still share one system call.
//
// Not locked itself: the connection's session keeps it under its lock.
#pragma once

#include <cstdint>

#include "platform/sync.h"
#include "transport/frame_writer.h"
#include "intrusive_queue.h"

namespace vxb {

// One message to write, on the stack of the thread that handed it in.
struct Outgoing {
  enum class Stage : uint8_t { kQueued, kSending, kDone };

  OutFrame frame;
  Deadline deadline;           // its owner's
  bool handlerAnswer = false;  // may still leave while the session is ending
  // A command's: while none of it has been written, it can be taken back
  // (the viewer never saw it, so no answer is owed to it).
  bool withdrawable = false;
  Stage stage = Stage::kQueued;
  int result = 0;         // once done: 0 written, or a result code
  void* wake = nullptr;   // the owner's way of waking its thread
  Outgoing* next = nullptr;
};

class Outbox {
 public:
  // Messages at most this large (with their prefixes) go out together.
  static constexpr uint32_t kBatchBytes = 64u << 10;
  // Messages share a send only when their deadlines end at most this far
  // apart (or neither has one): the send is given the latest of them, so
  // none is torn before its own time, and none is held longer than this
  // past its own time by another's.
  static constexpr uint32_t kJoinWindowMs = 20;

  void Append(Outgoing* m) { queue_.PushBack(m); }
  bool Empty() const { return queue_.Empty(); }
  Outgoing* Front() const { return queue_.Front(); }
  // Takes back a message not yet taken for writing.
  bool Remove(Outgoing* m) { return queue_.Remove(m); }
  // The front message and the small framed ones right behind it that may
  // share its send (within kBatchBytes and kJoinWindowMs, their time not
  // yet up), taken out and marked sending: a list through `next`, their
  // frames linked in the same order. *sendBy: the latest of their deadlines.
  Outgoing* TakeBatch(Deadline* sendBy);
  // Settles every queued message with result (but, keepHandlerAnswers, the
  // answers of handlers), each handed to wake(context, m).
  void FailAll(int result, bool keepHandlerAnswers, void (*wake)(void* context, Outgoing* m),
               void* context);

 private:
  static bool MayShareSend(const Outgoing& first, const Outgoing& m);
  IntrusiveQueue<Outgoing> queue_;
};

}  // namespace vxb
