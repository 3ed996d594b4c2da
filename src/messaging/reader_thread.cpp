#include "reader_thread.h"

#include <utility>

#include "../transport/wire_trace.h"

namespace vxb {

ReaderThread::~ReaderThread() { Wait(); }

int ReaderThread::ReadOne(IncomingMessage& message) {
  if (link_->DataSocket() == plat::kInvalidSocket) return -3;
  const int probe = link_->Probe();
  if (probe < 0) {
    message.kind = Broken;
    return -3;
  }
  if (probe == 0) {
    // A failure not judged broken (server mode) can repeat at once; a short
    // pause keeps the loop from spinning on it.
    plat::SleepMs(1);
    return 0;
  }
  if (ReadMessage(*link_, message) != 0) message.kind = Broken;
  return 0;
}

void ReaderThread::Run() {
  for (;;) {
    IncomingMessage m;
    try {
      if (ReadOne(m) != 0) m.kind = Broken;
    } catch (...) {
      // No memory for a call's texts: the stream is past that message and
      // cannot be trusted any more; end the connection the ordinary way.
      m = IncomingMessage();
      m.kind = Broken;
    }
    if (m.kind == Response && response_ != nullptr) {
      // The answer's block goes to the waiting command as it is; reading
      // goes on in a spare block, so the next RET can neither overwrite nor
      // free an answer that is still being read.
      const RecvBuffer answer = link_->ExchangeBuffer(ResponseSlot, response_->TakeSpare());
      if (!response_->PostResponse(answer)) {
        // No memory to queue it: the answer is gone, and a command left
        // waiting for it would wait for ever; end the connection instead.
        m = IncomingMessage();
        m.kind = Broken;
      }
    }
    switch (m.kind) {
      case Broken:
        if (trace::On()) trace::Broke();
        link_->CloseData();
        // A command waiting for its answer must not wait forever.
        if (response_ != nullptr) response_->PostBroken();
        dispatcher_->Push(std::move(m));
        dispatcher_->Signal();
        return;
      case Response:
        break;  // posted above
      case Call:
        dispatcher_->Push(std::move(m));
        dispatcher_->Signal();
        break;
      default:  // nothing to deliver: an unknown tag, or nothing learned
        break;
    }
  }
}

}  // namespace vxb
