#include "response_signal.h"

#include <utility>

namespace vxb {

void ResponseSignal::PostResponse(std::string answer) {
  {
    Guard g(lock_);
    const size_t size = answer.size() + kAnswerOverhead;
    while (!answers_.empty() && waitingBytes_ + size > kMaximumWaitingBytes) {
      waitingBytes_ -= answers_.front().size() + kAnswerOverhead;
      answers_.pop_front();
    }
    answers_.push_back(std::move(answer));
    waitingBytes_ += size;
  }
  // At the semaphore's maximum the release fails; the queue still holds the
  // answer and Wait looks at it before it sleeps.
  wake_.Release();
}

void ResponseSignal::PostBroken() {
  {
    Guard g(lock_);
    broken_ = true;
  }
  wake_.Release();
}

int ResponseSignal::Wait(std::string* answer) {
  for (;;) {
    {
      Guard g(lock_);
      if (!answers_.empty()) {
        waitingBytes_ -= answers_.front().size() + kAnswerOverhead;
        if (answer != nullptr) *answer = std::move(answers_.front());
        answers_.pop_front();
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
  answers_.clear();
  waitingBytes_ = 0;
  broken_ = false;
  wake_.Drain();
}

}  // namespace vxb
