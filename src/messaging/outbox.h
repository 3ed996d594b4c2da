// Outbox: the messages of one connection waiting to be written, in the
// order they were handed in. Whoever hands a message in while nobody is
// writing becomes the writer and writes what is queued, small messages many
// to one send, until the outbox is empty: threads that send at the same
// time share one system call instead of taking turns for one each, and the
// order of the bytes on the wire is the order of the outbox (which is the
// order of the line of commands waiting for answers).
//
// Not locked itself: the connection's session keeps it under its lock.
#pragma once

#include <cstdint>
#include <string>

#include "transport/socket_link.h"

namespace vxb {

// One message to write, on the stack of the thread that handed it in.
struct Outgoing {
  const void* head = nullptr;
  uint32_t headLength = 0;
  const void* tail = nullptr;
  uint32_t tailLength = 0;
  bool framed = true;          // a 4-byte length first; else the bytes as they are
  bool handlerAnswer = false;  // may still leave while the session is ending
  bool done = false;           // written, or given up (result)
  int result = 0;
  bool ownerWaits = false;  // the owner sleeps until done: wake it then
  void* wake = nullptr;     // the owner's way of waking the thread
  Outgoing* next = nullptr;
};

class Outbox {
 public:
  // Messages at most this large (with their prefixes) go out together.
  static constexpr uint32_t kBatchBytes = 64u << 10;

  void Append(Outgoing* m);
  bool Empty() const { return first_ == nullptr; }
  // The next messages to write in one send: every small framed message at
  // the front up to kBatchBytes, or the first alone when it is large or
  // raw. A linked list, taken out of the outbox.
  Outgoing* TakeBatch();
  // Settles every queued message with result (but, keepHandlerAnswers, the
  // answers of handlers), each handed to wake(context, m).
  void FailAll(int result, bool keepHandlerAnswers, void (*wake)(void* context, Outgoing* m),
               void* context);

 private:
  static uint32_t Size(const Outgoing& m) { return (m.framed ? 4u : 0u) + m.headLength + m.tailLength; }
  Outgoing* first_ = nullptr;
  Outgoing* last_ = nullptr;
};

// Writes a batch on the link in one send within timeoutMs (plat::kInfinite:
// no limit), each message traced first. 0, or -6 (the link is then closed).
int WriteBatch(SocketLink& link, const Outgoing* batch, uint32_t timeoutMs);

}  // namespace vxb
