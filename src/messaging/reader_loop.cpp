// The reader thread of a session: the only reader of its connection. It
// takes each finished message from the frame reader and routes it: an
// answer to the command at the front of the line, a call to the
// dispatcher; the end of the connection ends the session.
#include <utility>

#include "session.h"

namespace vxb {

void Session::ReaderEntry(void* self) {
  MarkSessionThread(static_cast<Session*>(self));
  static_cast<Session*>(self)->ReadLoop();
}

void Session::ReadLoop() {
  bool up = AwaitStart();
  while (up) {
    // No lock while the reader waits for bytes; lock_ only to route.
    Received m;
    if (reader_.Read(&m) != VX_OK) {
      // The link is closed: a command left waiting would wait for ever.
      Guard g(lock_);
      EndLocked(End::kLost);
      break;
    }
    if (m.kind == Response) RouteAnswer(m.answer);
    if (m.kind == Call) up = RouteCall(std::move(m.call));
    // Anything else (another tag, or none): read on.
  }
  WorkerDone(true);
  Release();
}

void Session::RouteAnswer(Answer* answer) {
  WaitSpot* wake = nullptr;
  {
    Guard g(lock_);
    if (state_ != State::kUp) {
      // Past the end of the session nothing is paired any more.
      LetGo(answer);
      return;
    }
    if (Waiter* w = line_.Deliver(answer)) wake = static_cast<WaitSpot*>(w->wake);
  }
  // Woken once the lock is let go, so that the command does not block on
  // it at once. A spot outlives its waiter (the session keeps it), so a
  // late wake-up is at worst a spurious one for the spot's next user.
  if (wake != nullptr) wake->cv.Signal();
}

bool Session::RouteCall(IncomingMessage call) {
  Guard g(lock_);
  // After the end of the session calls are not delivered any more.
  if (state_ != State::kUp) return true;
  const size_t kept = settings_.keptCalls != nullptr ? settings_.keptCalls->Bytes() : 0;
  if (calls_.Queue(std::move(call), kept)) {
    callsReady_.Signal();
    return true;
  }
  // More calls held than the bound allows (or no memory for one): the
  // viewer would wait for an answer that never comes, and the next calls
  // would be refused alike; end the connection instead.
  EndLocked(End::kLost);
  return false;
}

}  // namespace vxb
