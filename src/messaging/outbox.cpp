#include "outbox.h"

namespace vxb {

bool Outbox::MayShareSend(const Outgoing& first, const Outgoing& m) {
  if (!m.frame.framed) return false;
  if (first.deadline.at == Deadline::kNever || m.deadline.at == Deadline::kNever) {
    return first.deadline.at == m.deadline.at;
  }
  // One whose time is up is left for its owner to take back.
  return m.deadline.LeftMs() > 0 && m.deadline.at <= first.deadline.at + kJoinWindowMs;
}

Outgoing* Outbox::TakeBatch(Deadline* sendBy) {
  Outgoing* first = queue_.PopFront();
  if (first == nullptr) return nullptr;
  first->stage = Outgoing::Stage::kSending;
  first->frame.nextInSend = nullptr;
  *sendBy = first->deadline;
  uint32_t bytes = WireSize(first->frame);
  if (!first->frame.framed) return first;
  for (Outgoing* end = first;;) {
    Outgoing* m = queue_.Front();
    if (m == nullptr || bytes + WireSize(m->frame) > kBatchBytes || !MayShareSend(*first, *m)) break;
    queue_.PopFront();
    bytes += WireSize(m->frame);
    m->stage = Outgoing::Stage::kSending;
    m->frame.nextInSend = nullptr;
    *sendBy = Deadline::Later(*sendBy, m->deadline);
    end->next = m;
    end->frame.nextInSend = &m->frame;
    end = m;
  }
  return first;
}

void Outbox::FailAll(int result, bool keepHandlerAnswers, void (*wake)(void* context, Outgoing* m),
                     void* context) {
  IntrusiveQueue<Outgoing> kept;
  while (Outgoing* m = queue_.PopFront()) {
    if (keepHandlerAnswers && m->handlerAnswer) {
      kept.PushBack(m);
      continue;
    }
    m->stage = Outgoing::Stage::kDone;
    m->result = result;
    wake(context, m);
  }
  queue_ = kept;
}

}  // namespace vxb
