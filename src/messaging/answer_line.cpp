#include "answer_line.h"

namespace vxb {

void AnswerLine::Enqueue(Waiter* w) {
  if (Answer* a = PopUnasked(); a != nullptr) {
    w->next = nullptr;
    w->done = true;
    w->result = 0;
    w->answer = a;
    return;
  }
  waiting_.PushBack(w);
}

Waiter* AnswerLine::Deliver(Answer* answer) {
  if (Waiter* w = waiting_.PopFront(); w != nullptr) {
    w->done = true;
    w->result = 0;
    w->answer = answer;
    return w;
  }
  const size_t weight = Weight(answer);
  while (!unasked_.Empty() && unaskedBytes_ + weight > kMaximumWaitingBytes) LetGo(PopUnasked());
  unasked_.PushBack(answer);
  unaskedBytes_ += weight;
  return nullptr;
}

void AnswerLine::FailAll(int result, void (*wake)(void* context, Waiter* w), void* context) {
  while (Waiter* w = waiting_.PopFront()) {
    w->done = true;
    w->result = result;
    w->answer = nullptr;
    wake(context, w);
  }
  DropUnasked();
}

Answer* AnswerLine::PopUnasked() {
  Answer* a = unasked_.PopFront();
  if (a != nullptr) unaskedBytes_ -= Weight(a);
  return a;
}

void AnswerLine::DropUnasked() {
  while (Answer* a = PopUnasked()) LetGo(a);
}

}  // namespace vxb
