// ResponseSignal: how the reader thread tells a waiting command call that
// its answer (a RET message) has arrived, or that it never will.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "sync.h"

namespace vxb {

class ResponseSignal {
 public:
  // Reader side: one RET message was read; answer holds its bytes. The
  // answer travels as a copy: the receive buffer it was read into is
  // refilled (and may be reallocated) by the next RET while the command
  // that waited for this one still reads it.
  void PostResponse(std::string answer = std::string());
  // Reader side: the connection ended; every waiter returns -6.
  void PostBroken();
  // Command side: waits without time limit. 0 when an answer is there (a
  // RET read while nobody waited counts too; answers are taken oldest
  // first and moved to *answer when it is not null), -6 when the
  // connection broke first, -10 when the wait itself failed.
  int Wait(std::string* answer = nullptr);
  // A new connection starts with nothing pending: an answer or a break
  // notice of the previous connection must never be taken for the answer
  // to a command on this one.
  void Reset();

  // Answers nobody has taken yet are kept up to this many bytes (each
  // counted with kAnswerOverhead more); past it the oldest are dropped, so
  // a viewer that answers far more than it is asked cannot use up memory.
  static constexpr size_t kMaximumWaitingBytes = 16u << 20;
  static constexpr size_t kAnswerOverhead = 64;

 private:
  Semaphore wake_;
  Lock lock_;
  std::deque<std::string> answers_;
  size_t waitingBytes_ = 0;
  bool broken_ = false;
};

}  // namespace vxb
