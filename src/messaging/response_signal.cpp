#include "response_signal.h"

namespace vxb {

void ResponseSignal::PostResponse() {
  {
    Guard g(lock_);
    ++pending_;
  }
  // At the semaphore's maximum the release fails; the pending count still
  // holds the answer and Wait looks at it before it sleeps.
  wake_.Release();
}

void ResponseSignal::PostBroken() {
  {
    Guard g(lock_);
    broken_ = true;
  }
  wake_.Release();
}

int ResponseSignal::Wait() {
  for (;;) {
    {
      Guard g(lock_);
      if (pending_ > 0) {
        --pending_;
        return 0;
      }
      if (broken_) {
        // Pass the wake-up on, so that any other waiter returns too.
        wake_.Release();
        return -6;
      }
    }
    // Counts left over by answers taken above wake us for nothing; we then
    // simply look again.
    if (!wake_.WaitOne()) return -10;
  }
}

void ResponseSignal::Reset() {
  Guard g(lock_);
  pending_ = 0;
  broken_ = false;
  wake_.Drain();
}

}  // namespace vxb
