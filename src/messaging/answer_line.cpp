#include "answer_line.h"

namespace vxb {

void AnswerLine::Enqueue(Waiter* w) {
  w->next = nullptr;
  if (Answer* a = PopUnasked(); a != nullptr) {
    w->done = true;
    w->result = 0;
    w->answer = a;
    return;
  }
  if (last_ != nullptr) {
    last_->next = w;
  } else {
    first_ = w;
  }
  last_ = w;
}

Waiter* AnswerLine::Deliver(Answer* answer) {
  if (Waiter* w = first_; w != nullptr) {
    first_ = w->next;
    if (first_ == nullptr) last_ = nullptr;
    w->next = nullptr;
    w->done = true;
    w->result = 0;
    w->answer = answer;
    return w;
  }
  const size_t weight = Weight(answer);
  while (unaskedFirst_ != nullptr && unaskedBytes_ + weight > kMaximumWaitingBytes) {
    LetGo(PopUnasked());
  }
  answer->next = nullptr;
  if (unaskedLast_ != nullptr) {
    unaskedLast_->next = answer;
  } else {
    unaskedFirst_ = answer;
  }
  unaskedLast_ = answer;
  unaskedBytes_ += weight;
  return nullptr;
}

void AnswerLine::FailAll(int result, void (*wake)(void* context, Waiter* w), void* context) {
  while (Waiter* w = first_) {
    first_ = w->next;
    w->next = nullptr;
    w->done = true;
    w->result = result;
    w->answer = nullptr;
    wake(context, w);
  }
  last_ = nullptr;
  DropUnasked();
}

Answer* AnswerLine::PopUnasked() {
  Answer* a = unaskedFirst_;
  if (a == nullptr) return nullptr;
  unaskedFirst_ = a->next;
  if (unaskedFirst_ == nullptr) unaskedLast_ = nullptr;
  unaskedBytes_ -= Weight(a);
  a->next = nullptr;
  return a;
}

void AnswerLine::DropUnasked() {
  while (Answer* a = PopUnasked()) LetGo(a);
}

}  // namespace vxb
