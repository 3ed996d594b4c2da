// ResponseSignal: how the reader thread tells a waiting command call that
// its answer (a RET message) has arrived, or that it never will.
#pragma once

#include <cstdint>

#include "sync.h"

namespace vxb {

class ResponseSignal {
 public:
  // Reader side: one RET message was read into the response slot.
  void PostResponse();
  // Reader side: the connection ended; every waiter returns -6.
  void PostBroken();
  // Command side: waits without time limit. 0 when an answer is there (a
  // RET read while nobody waited counts too), -6 when the connection broke
  // first, -10 when the wait itself failed.
  int Wait();
  // A new connection starts with nothing pending: an answer or a break
  // notice of the previous connection must never be taken for the answer
  // to a command on this one.
  void Reset();

 private:
  Semaphore wake_;
  Lock lock_;
  uint32_t pending_ = 0;
  bool broken_ = false;
};

}  // namespace vxb
