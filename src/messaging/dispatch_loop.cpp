// The dispatcher thread of a session: delivers the viewer's calls to the
// host, one at a time in arrival order, answers each, and at the end of the
// session calls the BrokenHandler.
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
  m.head = header;
  m.tail = text;
  m.tailLength = static_cast<uint32_t>(strnlen(text, capacity));
  m.headLength = FormatResponseHeader(header, code, static_cast<int32_t>(m.tailLength));
  m.handlerAnswer = true;
  Guard g(lock_);
  // From the handler's return until its answer is out, waiting to be
  // written included: a close in between lets it go first.
  inHostCode_ = false;
  answerLeaving_ = true;
  changed_.Broadcast();
  // Once the host has closed, the answer of a handler that returned
  // meanwhile still leaves, but within the grace only.
  const Deadline deadline =
      Deadline::In(state_ == State::kEnding ? kClosingGraceMs : settings_.commandTimeoutMs);
  WaitSpot* spot = TakeSpot();
  const int rc = spot != nullptr ? Transmit(m, spot, deadline) : VX_E_NOT_ENOUGH_MEMORY;
  if (spot != nullptr) GiveSpot(spot);
  answerLeaving_ = false;
  changed_.Broadcast();
  // An ending session goes down now that the answer is out (or given up).
  if (rc != VX_OK || state_ == State::kEnding) EndLocked(End::kLost, true);
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
        self->EndLocked(End::kLost, true);
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
        while (state_ == State::kUp && !calls_.HasQueued()) callsReady_.Wait(lock_, Deadline{});
        if (state_ != State::kUp) break;
        m = calls_.TakeQueued();
        handler = onCall_;
        inHostCode_ = handler != nullptr;
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
      if (settings_.serverRole && state_ != State::kUp) {
        calls_.Delivered(m);  // its viewer is gone
      } else {
        calls_.Keep(std::move(m));  // without memory for it, it is lost
      }
    }
    BrokenHandler onBroken = nullptr;
    {
      Guard g(lock_);
      if (end_ != End::kNeverUp) onBroken = onBroken_;
      inHostCode_ = onBroken != nullptr;
      changed_.Broadcast();
    }
    if (onBroken != nullptr) onBroken();
  }
  departure.orderly = true;
  WorkerDone(false);
  Release();
}

}  // namespace vxb
