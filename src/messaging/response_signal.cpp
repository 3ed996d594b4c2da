#include "response_signal.h"

namespace vxb {

ResponseSignal::~ResponseSignal() {
  DropUnasked();
  for (Place& p : places_) LetGo(p.answer);
}

void ResponseSignal::Finish(Place& place, int result, Answer* answer, Wakes* wakes) {
  place.done = true;
  place.result = result;
  place.answer = answer;
  if (wakes != nullptr) wakes->Add(&place);
}

int ResponseSignal::Leave(Place& place, Answer** answer) {
  *answer = place.answer;
  const int result = place.result;
  place.answer = nullptr;
  place.registered = false;
  place.done = false;
  return result;
}

ResponseSignal::Place* ResponseSignal::NextInLine() {
  Place* host = &places_[kHostCommand];
  Place* handler = &places_[kHandlerCommand];
  if (!host->registered || host->done) host = nullptr;
  if (!handler->registered || handler->done) handler = nullptr;
  if (host == nullptr) return handler;
  if (handler == nullptr) return host;
  // Nested: the viewer called the host while working on the host command,
  // and answers the handler's command before it can finish the host's.
  if (handler->handledCall > host->number) return handler;
  return handler->number < host->number ? handler : host;
}

void ResponseSignal::FailWaiting(Wakes* wakes) {
  for (Place& p : places_) {
    if (p.registered && !p.done) Finish(p, -6, nullptr, wakes);
  }
}

Answer* ResponseSignal::PopUnasked() {
  Answer* a = unaskedFirst_;
  if (a == nullptr) return nullptr;
  unaskedFirst_ = a->next;
  if (unaskedFirst_ == nullptr) unaskedLast_ = nullptr;
  unaskedBytes_ -= Weight(a);
  a->next = nullptr;
  return a;
}

void ResponseSignal::DropUnasked() {
  while (Answer* a = PopUnasked()) LetGo(a);
}

void ResponseSignal::PostResponse(Answer* answer) {
  Wakes wakes;
  Guard g(lock_);
  if (broken_) {
    // Whatever comes after a break (a command that timed out, for one) can
    // no longer be paired with anything.
    LetGo(answer);
    return;
  }
  if (Place* p = NextInLine(); p != nullptr) {
    Finish(*p, 0, answer, &wakes);
    return;
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
}

void ResponseSignal::PostBroken() {
  Wakes wakes;
  Guard g(lock_);
  broken_ = true;
  FailWaiting(&wakes);
  DropUnasked();
}

bool ResponseSignal::Register(Role role, uint64_t handledCall) {
  Place& p = places_[role];
  Guard g(lock_);
  if (p.registered) return false;
  // Counts left from an earlier wait that ended another way.
  p.wake.Drain();
  p.registered = true;
  p.done = false;
  p.answer = nullptr;
  p.number = counter_.fetch_add(1) + 1;
  p.handledCall = handledCall;
  // Settled at once: the command finds it so before it sleeps.
  if (Answer* a = PopUnasked(); a != nullptr) {
    Finish(p, 0, a, nullptr);
  } else if (broken_) {
    Finish(p, -6, nullptr, nullptr);
  }
  return true;
}

void ResponseSignal::Withdraw(Role role) {
  Place& p = places_[role];
  Guard g(lock_);
  if (!p.registered) return;
  if (Answer* a = p.answer; a != nullptr) {
    a->next = unaskedFirst_;
    unaskedFirst_ = a;
    if (unaskedLast_ == nullptr) unaskedLast_ = a;
    unaskedBytes_ += Weight(a);
  }
  p.answer = nullptr;
  p.registered = false;
  p.done = false;
}

int ResponseSignal::Wait(Role role, uint32_t timeoutMs, Answer** answer) {
  Place& p = places_[role];
  *answer = nullptr;
  for (;;) {
    {
      Guard g(lock_);
      if (!p.registered) return -10;
      if (p.done) return Leave(p, answer);
    }
    if (p.wake.WaitOne(timeoutMs)) continue;
    Wakes wakes;
    Guard g(lock_);
    if (p.done) return Leave(p, answer);  // it came just in time
    p.registered = false;
    // No answer in time (or a wait that failed outright): it may still
    // come, and would be taken for the next command's. The connection
    // cannot be trusted any more.
    broken_ = true;
    FailWaiting(&wakes);
    DropUnasked();
    return kTimedOut;
  }
}

void ResponseSignal::Reset() {
  Wakes wakes;
  Guard g(lock_);
  FailWaiting(&wakes);
  DropUnasked();
  broken_ = false;
}

}  // namespace vxb
