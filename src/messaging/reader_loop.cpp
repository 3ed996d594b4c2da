// The reader thread of a session: the only reader of its connection. An
// answer goes to the command at the front of the line, a call to the
// dispatcher, and the end of the connection ends the session.
#include <utility>

#include "session.h"

namespace vxb {

void Session::ReaderEntry(void* self) {
  MarkSessionThread(static_cast<Session*>(self));
  static_cast<Session*>(self)->ReadLoop();
}

// The blank answer is taken once a response has begun, not after the one
// before was posted: by then the command that took that one has usually
// let its predecessor go, so two blocks serve a run of commands instead of
// three, and the one read into is the one most lately used.
bool Session::LendBlock(void* self) {
  auto* s = static_cast<Session*>(self);
  s->lent_ = s->pool_->Take();
  if (s->lent_ == nullptr) return false;
  s->lent_->block = s->link_->ExchangeBuffer(ResponseSlot, s->lent_->block);
  return true;
}

Answer* Session::TakeLent() {
  Answer* answer = lent_;
  lent_ = nullptr;
  if (answer != nullptr) answer->block = link_->ExchangeBuffer(ResponseSlot, answer->block);
  return answer;
}

void Session::ReadLoop() {
  bool up = AwaitStart();
  while (up) {
    IncomingMessage m;
    try {
      if (ReadMessage(*link_, m, &Session::LendBlock, this) != VX_OK) m.kind = Broken;
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
    WaitSpot* wake = nullptr;
    if (m.kind == Response && answer != nullptr) {
      answer->text =
          ParseResponse(answer->block.data, answer->block.used, &answer->length, &answer->code);
      Guard g(lock_);
      if (state_ == State::kUp) {
        if (Waiter* w = line_.Deliver(answer)) wake = static_cast<WaitSpot*>(w->wake);
      } else {
        // Past the end of the session nothing is paired any more.
        LetGo(answer);
      }
    } else {
      LetGo(answer);  // a read that failed: the blank goes back
    }
    // Woken once the lock is let go, so that the command does not block on
    // it at once. A spot outlives its waiter (the session keeps it), so a
    // late wake-up is at worst a spurious one for the spot's next user.
    if (wake != nullptr) wake->cv.Signal();

    if (m.kind == Call) {
      Guard g(lock_);
      // After the end of the session calls are not delivered any more.
      if (state_ != State::kUp) continue;
      const size_t kept = settings_.keptCalls != nullptr ? settings_.keptCalls->Bytes() : 0;
      if (calls_.Queue(std::move(m), kept)) {
        callsReady_.Signal();
        continue;
      }
      // More calls held than the bound allows (or no memory for one): the
      // viewer would wait for an answer that never comes, and the next
      // calls would be refused alike; end the connection instead.
      EndLocked(End::kLost);
      break;
    }
    if (m.kind == Broken) {
      Guard g(lock_);
      EndLocked(End::kLost);
      break;
    }
    // Anything else (an unknown tag, or nothing learned): read on.
  }
  WorkerDone(true);
  Release();
}

}  // namespace vxb
