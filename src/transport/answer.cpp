#include "answer.h"

#include <new>

namespace vxb {

void Hold(Answer* answer) {
  if (answer != nullptr) answer->holders.fetch_add(1, std::memory_order_relaxed);
}

void LetGo(Answer* answer) {
  if (answer == nullptr) return;
  // Release ordering so that every read of the block by a former holder
  // happens before the pool hands the block on to the reader.
  if (answer->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) answer->pool->GiveBack(answer);
}

AnswerPool* AnswerPool::Create() { return new (std::nothrow) AnswerPool; }

AnswerPool::~AnswerPool() {
  Guard g(lock_);
  for (size_t i = 0; i < spareCount_; ++i) {
    FreeBuffer(spares_[i]->block);
    delete spares_[i];
  }
}

void AnswerPool::Unref() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Answer* AnswerPool::Take(uint32_t capacity) {
  Answer* a = nullptr;
  {
    Guard g(lock_);
    if (spareCount_ > 0) {
      // The most lately given back is the likeliest still in the caches;
      // another is taken only when it holds the body and that one does not.
      size_t pick = spareCount_ - 1;
      for (size_t i = 0; i < pick && spares_[pick]->block.capacity < capacity; ++i) {
        if (spares_[i]->block.capacity >= capacity) pick = i;
      }
      a = spares_[pick];
      spares_[pick] = spares_[--spareCount_];
    }
  }
  if (a == nullptr) {
    a = new (std::nothrow) Answer;
    if (a == nullptr) return nullptr;
    a->pool = this;
  }
  refs_.fetch_add(1, std::memory_order_relaxed);
  a->holders.store(1, std::memory_order_relaxed);
  return a;
}

void AnswerPool::GiveBack(Answer* answer) {
  answer->block.used = 0;
  answer->code = -10;
  answer->text = nullptr;
  answer->length = 0;
  answer->next = nullptr;
  bool kept = false;
  {
    Guard g(lock_);
    if (spareCount_ < kMaximumSpares) {
      spares_[spareCount_++] = answer;
      kept = true;
    }
  }
  if (!kept) {
    FreeBuffer(answer->block);
    delete answer;
  }
  Unref();
}

}  // namespace vxb
