#include "reader_thread.h"

#include <utility>

#include "../transport/wire_trace.h"

namespace vxb {

ReaderThread::~ReaderThread() { Wait(); }

int ReaderThread::ReadOne(IncomingMessage& message) {
  if (link_->DataSocket() == plat::kInvalidSocket) return -3;
  if (ReadMessage(*link_, message) != 0) message.kind = Broken;
  return 0;
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
    if (m.kind == Response && response_ != nullptr) {
      // The answer's block goes on as it is, parsed once here; reading goes
      // on in a spare block, so the next RET can neither overwrite nor free
      // an answer that is still being read.
      if (Answer* answer = response_->TakeBlank(); answer != nullptr) {
        answer->block = link_->ExchangeBuffer(ResponseSlot, answer->block);
        answer->text = ParseResponse(answer->block.data, answer->block.used, &answer->length,
                                     &answer->code);
        response_->PostResponse(answer);
      } else {
        // No memory to hand it on: the answer is gone, and a command left
        // waiting for it would wait for ever; end the connection instead.
        m = IncomingMessage();
        m.kind = Broken;
      }
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
