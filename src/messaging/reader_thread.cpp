#include "reader_thread.h"

#include <utility>

#include "transport/wire_trace.h"

namespace vxb {

ReaderThread::~ReaderThread() { Wait(); }

int ReaderThread::ReadOne(IncomingMessage& message) {
  if (link_->DataSocket() == plat::kInvalidSocket) return -3;
  const BeforeResponseFn lend = response_ != nullptr ? &ReaderThread::LendBlock : nullptr;
  if (ReadMessage(*link_, message, lend, this) != 0) message.kind = Broken;
  return 0;
}

// The blank answer is taken once a response has begun, not after the one
// before was posted: by then the command that took that one has usually
// let its predecessor go, so two blocks serve a run of commands instead of
// three, and the one read into is the one most lately used.
bool ReaderThread::LendBlock(void* self) {
  auto* r = static_cast<ReaderThread*>(self);
  r->lent_ = r->response_->TakeBlank();
  if (r->lent_ == nullptr) return false;
  r->lent_->block = r->link_->ExchangeBuffer(ResponseSlot, r->lent_->block);
  return true;
}

Answer* ReaderThread::TakeLent() {
  Answer* answer = lent_;
  lent_ = nullptr;
  if (answer != nullptr) answer->block = link_->ExchangeBuffer(ResponseSlot, answer->block);
  return answer;
}

void ReaderThread::Run() {
  for (;;) {
    IncomingMessage m;
    try {
      if (ReadOne(m) != 0) m.kind = Broken;
    } catch (...) {
      plat::RethrowThreadExit();
      // No memory for a call's texts: the stream is past that message and
      // cannot be trusted any more; end the connection the ordinary way.
      m = IncomingMessage();
      m.kind = Broken;
    }
    // The answer's block goes on as it is, parsed once here; the next RET
    // is read into another block, so it can neither overwrite nor free an
    // answer that is still being read. A blank answer that could not be
    // had ended the read (Broken): a command left waiting would wait for
    // ever.
    Answer* answer = TakeLent();
    if (m.kind == Response && answer != nullptr) {
      answer->text = ParseResponse(answer->block.data, answer->block.used, &answer->length,
                                   &answer->code);
      response_->PostResponse(answer);
    } else {
      LetGo(answer);  // a read that failed: the blank goes back
    }
    if (m.kind == Call) {
      // Numbered with the commands, so that a handler's command knows
      // whether its call came after the host command that waits.
      if (response_ != nullptr) m.stamp = response_->StampCall();
      if (dispatcher_->PushCall(std::move(m))) {
        dispatcher_->Signal();
        continue;
      }
      // More calls held than the bound allows (or no memory for one): the
      // viewer would wait for an answer that never comes, and the next
      // calls would be refused alike; end the connection instead.
      m = IncomingMessage();
      m.kind = Broken;
    }
    switch (m.kind) {
      case Broken:
        if (trace::On()) trace::Broke();
        link_->CloseData();
        // A command waiting for its answer must not wait forever.
        if (response_ != nullptr) response_->PostBroken();
        dispatcher_->PushBroken();
        dispatcher_->Signal();
        return;
      case Response:
        break;  // posted above
      default:  // nothing to deliver: an unknown tag, or nothing learned
        break;
    }
  }
}

}  // namespace vxb
