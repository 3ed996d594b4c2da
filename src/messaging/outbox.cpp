#include "outbox.h"

#include "vxbridge.h"
#include "transport/wire_format.h"

namespace vxb {

void Outbox::Append(Outgoing* m) {
  m->next = nullptr;
  if (last_ != nullptr) {
    last_->next = m;
  } else {
    first_ = m;
  }
  last_ = m;
}

Outgoing* Outbox::TakeBatch() {
  Outgoing* batch = first_;
  if (batch == nullptr) return nullptr;
  Outgoing* end = batch;
  uint32_t bytes = Size(*batch);
  if (batch->framed && bytes <= kBatchBytes) {
    while (end->next != nullptr && end->next->framed && bytes + Size(*end->next) <= kBatchBytes) {
      end = end->next;
      bytes += Size(*end);
    }
  }
  first_ = end->next;
  if (first_ == nullptr) last_ = nullptr;
  end->next = nullptr;
  return batch;
}

void Outbox::FailAll(int result, bool keepHandlerAnswers, void (*wake)(void* context, Outgoing* m),
                     void* context) {
  Outgoing* kept = nullptr;
  Outgoing** keptEnd = &kept;
  last_ = nullptr;
  while (Outgoing* m = first_) {
    first_ = m->next;
    m->next = nullptr;
    if (keepHandlerAnswers && m->handlerAnswer) {
      *keptEnd = m;
      keptEnd = &m->next;
      last_ = m;
      continue;
    }
    m->done = true;
    m->result = result;
    wake(context, m);
  }
  first_ = kept;
}

int WriteBatch(SocketLink& link, const Outgoing* batch, uint32_t timeoutMs) {
  if (batch->next == nullptr) {
    // Alone: written from where it is, however large.
    if (!batch->framed) {
      if (WireTrace* t = link.Trace()) t->SentRaw(batch->head, batch->headLength);
      return link.Send(batch->head, batch->headLength, nullptr, 0, timeoutMs);
    }
    return SendFramed(link, batch->headLength, batch->head, batch->tailLength, batch->tail,
                      timeoutMs);
  }
  std::string bytes;
  try {
    for (const Outgoing* m = batch; m != nullptr; m = m->next) {
      if (WireTrace* t = link.Trace()) t->Sent(m->head, m->headLength, m->tail, m->tailLength);
      AppendFrame(bytes, m->head, m->headLength, m->tail, m->tailLength);
    }
  } catch (...) {
    plat::RethrowThreadExit();
    // No memory to join them: one send each, still in order.
    for (const Outgoing* m = batch; m != nullptr; m = m->next) {
      const int rc = SendFramed(link, m->headLength, m->head, m->tailLength, m->tail, timeoutMs);
      if (rc != VX_OK) return rc;
    }
    return VX_OK;
  }
  const plat::SendPart part{bytes.data(), static_cast<uint32_t>(bytes.size())};
  return link.SendParts(&part, 1, timeoutMs);
}

}  // namespace vxb
