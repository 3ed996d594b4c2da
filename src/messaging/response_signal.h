// ResponseSignal: how the reader thread tells a waiting command call that
// its answer (a RET message) has arrived, or that it never will.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "../transport/socket_link.h"
#include "sync.h"

namespace vxb {

class ResponseSignal {
 public:
  ResponseSignal() = default;
  ~ResponseSignal();
  ResponseSignal(const ResponseSignal&) = delete;
  ResponseSignal& operator=(const ResponseSignal&) = delete;

  // Reader side: one RET message was read into answer, whose block now
  // belongs to the signal. Answers travel as whole receive blocks, handed
  // over rather than copied: the reader goes on with a spare block, so the
  // next RET can never overwrite (or free) an answer a command still reads.
  // False when the answer could not be queued (no memory); the block is
  // released then.
  bool PostResponse(RecvBuffer answer);
  // Reader side: the connection ended; every waiter returns -6.
  void PostBroken();
  // Reader side: a block for the next answer (empty when none is spare).
  RecvBuffer TakeSpare();

  // Command side: waits without time limit. 0 when an answer is there (a
  // RET read while nobody waited counts too; answers are taken oldest
  // first and handed to *answer), -6 when the connection broke first, -10
  // when the wait itself failed.
  int Wait(RecvBuffer* answer);
  // Command side: gives a block back once its answer is no longer needed.
  void GiveSpare(RecvBuffer block);

  // A new connection starts with nothing pending: an answer or a break
  // notice of the previous connection must never be taken for the answer
  // to a command on this one.
  void Reset();

  // Answers nobody has taken yet are kept up to this many bytes (each
  // counted with kAnswerOverhead more); past it the oldest are dropped, so
  // a viewer that answers far more than it is asked cannot use up memory.
  static constexpr size_t kMaximumWaitingBytes = 16u << 20;
  static constexpr size_t kAnswerOverhead = 64;
  // Blocks kept for reuse; more are released.
  static constexpr size_t kMaximumSpares = 2;

 private:
  void KeepOrFree(RecvBuffer block);  // lock held

  Semaphore wake_;
  Lock lock_;
  std::deque<RecvBuffer> answers_;
  std::vector<RecvBuffer> spares_;
  size_t waitingBytes_ = 0;
  bool broken_ = false;
};

}  // namespace vxb
