#include "answer.h"

#include <new>

#include "platform/platform.h"

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
    plat::FreeBlock(spares_[i]->block.data);
    delete spares_[i];
  }
}

void AnswerPool::Unref() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Answer* AnswerPool::Take() {
  Answer* a = nullptr;
  {
    Guard g(lock_);
    if (spareCount_ > 0) a = spares_[--spareCount_];
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
    plat::FreeBlock(answer->block.data);
    delete answer;
  }
  Unref();
}

}  // namespace vxb
