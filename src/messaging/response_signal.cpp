#include "response_signal.h"

#include "../platform/platform.h"

namespace vxb {

ResponseSignal::~ResponseSignal() {
  for (RecvBuffer& b : answers_) plat::FreeBlock(b.data);
  for (RecvBuffer& b : spares_) plat::FreeBlock(b.data);
}

void ResponseSignal::KeepOrFree(RecvBuffer block) {
  if (block.data == nullptr) return;
  if (spares_.size() < kMaximumSpares) {
    try {
      block.used = 0;
      spares_.push_back(block);
      return;
    } catch (...) {
      // No room to keep it: release it instead.
    }
  }
  plat::FreeBlock(block.data);
}

bool ResponseSignal::PostResponse(RecvBuffer answer) {
  {
    Guard g(lock_);
    const size_t size = answer.used + kAnswerOverhead;
    while (!answers_.empty() && waitingBytes_ + size > kMaximumWaitingBytes) {
      waitingBytes_ -= answers_.front().used + kAnswerOverhead;
      KeepOrFree(answers_.front());
      answers_.pop_front();
    }
    try {
      answers_.push_back(answer);
    } catch (...) {
      plat::FreeBlock(answer.data);
      return false;
    }
    waitingBytes_ += size;
  }
  // At the semaphore's maximum the release fails; the queue still holds the
  // answer and Wait looks at it before it sleeps.
  wake_.Release();
  return true;
}

void ResponseSignal::PostBroken() {
  {
    Guard g(lock_);
    broken_ = true;
  }
  wake_.Release();
}

RecvBuffer ResponseSignal::TakeSpare() {
  Guard g(lock_);
  if (spares_.empty()) return RecvBuffer();
  const RecvBuffer b = spares_.back();
  spares_.pop_back();
  return b;
}

void ResponseSignal::GiveSpare(RecvBuffer block) {
  Guard g(lock_);
  KeepOrFree(block);
}

int ResponseSignal::Wait(RecvBuffer* answer) {
  for (;;) {
    {
      Guard g(lock_);
      if (!answers_.empty()) {
        waitingBytes_ -= answers_.front().used + kAnswerOverhead;
        *answer = answers_.front();
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
  while (!answers_.empty()) {
    KeepOrFree(answers_.front());
    answers_.pop_front();
  }
  waitingBytes_ = 0;
  broken_ = false;
  wake_.Drain();
}

}  // namespace vxb
