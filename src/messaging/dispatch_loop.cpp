// The dispatcher thread of a session: delivers the viewer's calls to the
// host, one at a time in arrival order, answers each, and at the end of the
// session calls the BrokenHandler and raises the broken-connection flag.
#include <cstring>

#include "session.h"

namespace vxb {

void Session::DispatcherEntry(void* self) {
  MarkSessionThread(static_cast<Session*>(self));
  static_cast<Session*>(self)->DispatchLoop();
}

void Session::SendCallAnswer(int32_t code, const char* text, size_t capacity) {
  char header[32];
  Outgoing m;
  m.frame.head = header;
  m.frame.tail = text;
  m.frame.tailLength = static_cast<uint32_t>(strnlen(text, capacity));
  m.frame.headLength = FormatResponseHeader(header, code, static_cast<int32_t>(m.frame.tailLength));
  m.handlerAnswer = true;
  Guard g(lock_);
  // From the handler's return until its answer is out, waiting to be
  // written included: a close in between lets it go first, within the
  // grace.
  callHandlerRuns_ = false;
  answerLeaving_ = true;
  changed_.Broadcast();
  m.deadline = Deadline::In(state_ == State::kEnding ? kClosingGraceMs : settings_.commandTimeoutMs);
  const int rc = SendLocked(m);
  answerLeaving_ = false;
  changed_.Broadcast();
  // An ending session goes down now that the answer is out (or given up);
  // one that could not carry its answer is lost: the viewer waits for it.
  if (state_ == State::kEnding) {
    EndLocked(End::kByHost);
  } else if (rc != VX_OK) {
    EndLocked(End::kLost);
  }
}

void Session::DispatchLoop() {
  // The loop ends by itself only at the end of the session. Left any other
  // way, the thread is being ended under the library by a forced unwind
  // out of a handler (an interpreter shutting down ends its threads so):
  // nothing delivers the viewer's calls any more, so the session ends, and
  // the BrokenHandler cannot run, its thread being the one that goes.
  struct Departure {
    Session* self;
    bool orderly = false;
    ~Departure() {
      if (orderly) return;
      {
        Guard g(self->lock_);
        self->callHandlerRuns_ = false;
        self->EndLocked(End::kLost);
        // No BrokenHandler to wait for: raised before any command woken
        // here can return (they need the lock).
        if (self->settings_.brokenFlag != nullptr) self->settings_.brokenFlag->store(true);
      }
      self->WorkerDone(false);
      self->Release();
    }
  } departure{this};

  if (AwaitStart()) {
    for (;;) {
      IncomingMessage m;
      CallHandler handler = nullptr;
      {
        Guard g(lock_);
        callsReady_.Await(lock_, Deadline{}, [this]() REQUIRES(lock_) {
          return state_ != State::kUp || calls_.HasQueued();
        });
        if (state_ != State::kUp) break;
        m = calls_.TakeQueued();
        handler = onCall_;
        callHandlerRuns_ = handler != nullptr;
      }
      CallAnswer answer;
      std::memset(&answer, 0, sizeof answer);
      std::memcpy(answer.text, "OK", 3);
      if (handler != nullptr) {
        handler(m.name.c_str(), m.args.c_str(), &answer);
        SendCallAnswer(answer.code, answer.text, sizeof answer.text);
        Guard g(lock_);
        calls_.Delivered(m);
        continue;
      }
      // Without a handler the call is kept for VxRecvCmd; a client answers
      // "OK" for the host at once, a server leaves the answer to the host.
      if (!settings_.serverRole) SendCallAnswer(answer.code, answer.text, sizeof answer.text);
      Guard g(lock_);
      calls_.Delivered(m);
      // A server's call whose viewer is gone could never be answered; a
      // client's outlives its connection. Without memory for it, it is lost.
      if ((!settings_.serverRole || state_ == State::kUp) && settings_.keptCalls != nullptr) {
        settings_.keptCalls->Keep(std::move(m), serial_, settings_.serverRole);
      }
    }
    BrokenHandler onBroken = nullptr;
    bool wasUp;
    {
      Guard g(lock_);
      wasUp = end_ != End::kNeverUp;
      if (wasUp) onBroken = onBroken_;
    }
    if (onBroken != nullptr) onBroken();
    // After the handler: a host that polls the flag finds its handler's
    // work done, and the host's close returns with the flag raised.
    if (wasUp && settings_.brokenFlag != nullptr) settings_.brokenFlag->store(true);
  }
  departure.orderly = true;
  WorkerDone(false);
  Release();
}

}  // namespace vxb
