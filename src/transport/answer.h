// Answer: one RET message as the reader read it, parsed once and then only
// read. The command that took it, its thread's latest response and the
// process's latest response may all hold it at once; the last holder to let
// go gives it back to its pool. So no thread ever reads a block that
// another may free or overwrite, and no block is freed or reused twice.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "recv_buffer.h"

namespace vxb {

class AnswerPool;

struct Answer {
  RecvBuffer block;  // the whole message, "RET " included
  int32_t code = -10;
  const uint8_t* text = nullptr;  // the payload inside block; null when none
  uint32_t length = 0;
  std::atomic<int32_t> holders{0};
  AnswerPool* pool = nullptr;
  Answer* next = nullptr;  // the queue of unasked answers links through here
};

// Adds a holder. Null is ignored.
void Hold(Answer* answer);
// Removes a holder; the last one gives the answer back to its pool. Null is
// ignored.
void LetGo(Answer* answer);

// Answers and their blocks, kept for reuse so that a command's round trip
// allocates nothing once the first few have been made. One pool per
// connection, its reader's; it lives until the reader has retired it and
// every answer taken from it has come back (an answer may be kept as a
// thread's latest response long after its connection ended).
class AnswerPool {
 public:
  // A new pool with its owner's reference; null without memory.
  static AnswerPool* Create();
  AnswerPool(const AnswerPool&) = delete;
  AnswerPool& operator=(const AnswerPool&) = delete;

  // An unused answer with one holder: a spare whose block holds capacity
  // bytes if there is one, else the spare most lately given back (its
  // block to be grown), else a new one without a block. Null without
  // memory.
  Answer* Take(uint32_t capacity = 0) EXCLUDES(lock_);
  // Called by LetGo for the last holder.
  void GiveBack(Answer* answer) EXCLUDES(lock_);
  // The owner is done with the pool: it goes once the last answer is back.
  void Retire() { Unref(); }

  static constexpr size_t kMaximumSpares = 2;

 private:
  AnswerPool() = default;
  // Every answer has come back by now.
  ~AnswerPool();
  void Unref();

  std::atomic<int32_t> refs_{1};  // the owner, and one per answer out
  Lock lock_;
  Answer* spares_[kMaximumSpares] GUARDED_BY(lock_) = {};
  size_t spareCount_ GUARDED_BY(lock_) = 0;
};

}  // namespace vxb
