#include "session.h"

#include <cstring>
#include <new>

namespace vxb {

Session* Session::Create(std::unique_ptr<SocketLink> link, const Settings& settings) {
  AnswerPool* pool = AnswerPool::Create();
  if (pool == nullptr) return nullptr;
  auto* s = new (std::nothrow) Session(std::move(link), settings, pool);
  if (s == nullptr) pool->Retire();
  return s;
}

Session::Session(std::unique_ptr<SocketLink> link, const Settings& settings, AnswerPool* pool)
    : link_(std::move(link)),
      settings_(settings),
      pool_(pool),
      onCall_(settings.onCall),
      onBroken_(settings.onBroken) {}

Session::~Session() {
  link_->Close();
  LetGo(lent_);
  {
    Guard g(lock_);
    // The answers nobody asked for go back to the pool before it retires.
    line_.FailAll(VX_E_COMMUNICATION_BROKEN, &WakeWaiter, this);
    while (WaitSpot* spot = spots_) {
      spots_ = spot->next;
      delete spot;
    }
    LetGo(handlerAnswer_);
    handlerAnswer_ = nullptr;
  }
  pool_->Retire();
}

void Session::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

// The session whose thread this is (null on the host's threads): a
// handler's commands go to its own connection, and the calls that must not
// be made from a handler are refused there.
bool Session::OnSessionThread() { return plat::ThreadTagGet() != nullptr; }
Session* Session::OfThisThread() { return static_cast<Session*>(plat::ThreadTagGet()); }
void Session::MarkSessionThread(Session* self) { plat::ThreadTagSet(self); }

int Session::Start() {
  // Each thread holds a reference of its own until it ends; the one of a
  // thread that did not start is taken back (the caller's keeps the
  // session).
  AddRef();
  const bool dispatcherStarted = plat::ThreadStartDetached(&Session::DispatcherEntry, this);
  if (!dispatcherStarted) refs_.fetch_sub(1, std::memory_order_relaxed);
  bool readerStarted = false;
  if (dispatcherStarted) {
    AddRef();
    readerStarted = plat::ThreadStartDetached(&Session::ReaderEntry, this);
    if (!readerStarted) refs_.fetch_sub(1, std::memory_order_relaxed);
  }
  Guard g(lock_);
  if (readerStarted) {
    state_ = State::kUp;
    changed_.Broadcast();
    return VX_OK;
  }
  // A thread that did start sees the session down and ends without
  // touching anything: the connect fails as a whole, nothing is left
  // running, and no handler of the host is called.
  EndLocked(End::kNeverUp, true);
  readerDone_ = true;
  if (!dispatcherStarted) dispatcherDone_ = true;
  while (!dispatcherDone_) changed_.Wait(lock_, Deadline{});
  return VX_E_NOT_ENOUGH_MEMORY;
}

bool Session::AwaitStart() {
  Guard g(lock_);
  while (state_ == State::kConnecting) changed_.Wait(lock_, Deadline{});
  return end_ != End::kNeverUp || state_ == State::kUp;
}

void Session::WorkerDone(bool reader) {
  Guard g(lock_);
  if (reader) {
    readerDone_ = true;
  } else {
    dispatcherDone_ = true;
    inHostCode_ = false;
  }
  changed_.Broadcast();
}

bool Session::IsUp() {
  Guard g(lock_);
  return state_ == State::kUp;
}

void Session::WakeWaiter(void*, Waiter* w) { static_cast<WaitSpot*>(w->wake)->cv.Signal(); }

Session::WaitSpot* Session::TakeSpot() {
  if (WaitSpot* spot = spots_) {
    spots_ = spot->next;
    return spot;
  }
  auto* spot = new (std::nothrow) WaitSpot;
  if (spot != nullptr && !spot->cv.Valid()) {
    delete spot;
    spot = nullptr;
  }
  return spot;
}

void Session::GiveSpot(WaitSpot* spot) {
  spot->next = spots_;
  spots_ = spot;
}

void Session::WakeSender(void*, Outgoing* m) {
  if (m->ownerWaits) static_cast<WaitSpot*>(m->wake)->cv.Signal();
}

bool Session::Queue(Outgoing& m, WaitSpot* spot, Deadline deadline) {
  if (!Sendable(m.handlerAnswer)) return false;
  m.wake = spot;
  outbox_.Append(&m);
  if (!writing_) WriteOutbox(deadline);
  return true;
}

int Session::AwaitWritten(Outgoing& m, WaitSpot* spot, Deadline deadline) {
  m.ownerWaits = true;
  while (!m.done) {
    // Still not written when the time ran out: the link is stuck (a viewer
    // that stopped reading), and every later message would be too.
    if (!spot->cv.Wait(lock_, deadline)) EndLocked(End::kLost, true);
  }
  return m.result;
}

void Session::WriteOutbox(Deadline deadline) {
  writing_ = true;
  while (!outbox_.Empty()) {
    Outgoing* batch = outbox_.TakeBatch();
    lock_.Leave();
    const int rc = WriteBatch(*link_, batch, deadline.LeftMs());
    lock_.Enter();
    for (Outgoing* m = batch; m != nullptr;) {
      Outgoing* next = m->next;  // m may be gone once its owner wakes
      m->done = true;
      m->result = rc;
      WakeSender(this, m);
      m = next;
    }
    // Torn or not written in time: the stream cannot be brought back into
    // step, and whatever is still queued goes with it.
    if (rc != VX_OK) EndLocked(End::kLost, true);
  }
  writing_ = false;
}

void Session::EndLocked(End how, bool closeLink) {
  bool raiseFlag = false;
  if (state_ == State::kConnecting || state_ == State::kUp) {
    const bool wasUp = state_ == State::kUp;
    raiseFlag = wasUp && settings_.brokenFlag != nullptr;
    state_ = closeLink ? State::kDown : State::kEnding;
    end_ = wasUp ? how : End::kNeverUp;
    line_.FailAll(VX_E_COMMUNICATION_BROKEN, &WakeWaiter, this);
    // Ending, only the answer of a handler that returned may still leave.
    outbox_.FailAll(VX_E_COMMUNICATION_BROKEN, !closeLink, &WakeSender, this);
    calls_.DropQueued();
    // A viewer that has gone can never be answered: the calls it left in
    // server mode go with it, and so does what the host owed it.
    if (settings_.serverRole) calls_.DropKept();
    owedAnswers_ = 0;
  } else if (state_ == State::kEnding && closeLink) {
    state_ = State::kDown;
    outbox_.FailAll(VX_E_COMMUNICATION_BROKEN, false, &WakeSender, this);
  } else {
    return;
  }
  changed_.Broadcast();
  callsReady_.Broadcast();
  if (state_ == State::kDown) {
    if (WireTrace* t = link_->Trace()) {
      if (end_ == End::kByHost) t->Disconnected();
      if (end_ == End::kLost) t->Broke();
    }
    link_->Close();
  }
  // Raised last, but still before any command woken here can return (they
  // need this lock): whoever sees it finds the trace's last line written.
  if (raiseFlag) settings_.brokenFlag->store(true);
}

int Session::Command(const std::string& message, Answer** answer) {
  *answer = nullptr;
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_COMMUNICATION_BROKEN;
  WaitSpot* spot = TakeSpot();
  if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  Waiter w;
  w.wake = spot;
  // Its place in the line in the critical section that queues its message:
  // the line's order is the order of the messages on the wire.
  line_.Enqueue(&w);
  Outgoing m;
  m.head = message.data();
  m.headLength = static_cast<uint32_t>(message.size());
  // Its answer comes only once it is written, and a failed write ends the
  // session and with it the wait: one wait covers both (a wake-up less).
  Queue(m, spot, deadline);
  while (!w.done) {
    if (!spot->cv.Wait(lock_, deadline)) {
      // No answer in time. It may still come, and would be taken for the
      // next command's: the connection cannot be trusted any more.
      EndLocked(End::kLost, true);
    }
  }
  // The writer may still be on its way back from the send that carried it
  // (the answer can be quicker): m lives on this stack until it is done.
  // No deadline here: that send has ended, and an answer that came just in
  // time must not end the session.
  if (AwaitWritten(m, spot, Deadline{}) != VX_OK && w.result == VX_OK) {
    // Torn or not written: whatever answer it was given is no answer to it.
    LetGo(w.answer);
    w.answer = nullptr;
    w.result = VX_E_COMMUNICATION_BROKEN;
  }
  GiveSpot(spot);
  if (w.result != VX_OK) return w.result;
  *answer = w.answer;
  return VX_OK;
}

int Session::SendAnswer(int32_t code, const void* payload, int32_t length) {
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  char header[32];
  Outgoing m;
  m.head = header;
  m.headLength = FormatResponseHeader(header, code, length);
  m.tail = payload;
  m.tailLength = length > 0 ? static_cast<uint32_t>(length) : 0;
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
  // In server mode every answer belongs to a call this viewer made and
  // the host took; one without such a call would reach the viewer as the
  // answer to its next call.
  if (settings_.serverRole && owedAnswers_ == 0) return VX_E_NOT_CONNECTED;
  WaitSpot* spot = TakeSpot();
  if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  if (settings_.serverRole) --owedAnswers_;
  const int rc = Transmit(m, spot, deadline);
  GiveSpot(spot);
  return rc;
}

int Session::SendRaw(const void* data, uint32_t length) {
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  Outgoing m;
  m.head = data;
  m.headLength = length;
  m.framed = false;
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
  WaitSpot* spot = TakeSpot();
  if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  const int rc = Transmit(m, spot, deadline);
  GiveSpot(spot);
  return rc;
}

bool Session::TakeCall(CallRecord* record) {
  Guard g(lock_);
  if (!calls_.TakeKept(record, settings_.serverRole)) return false;
  if (settings_.serverRole) ++owedAnswers_;
  return true;
}

Answer* Session::HoldHandlerAnswer() {
  Guard g(lock_);
  Hold(handlerAnswer_);
  return handlerAnswer_;
}

void Session::KeepHandlerAnswer(Answer* answer) {
  Answer* before;
  {
    Guard g(lock_);
    before = handlerAnswer_;
    handlerAnswer_ = answer;
  }
  LetGo(before);
}

bool Session::CachedVersion(char text[512]) {
  Guard g(lock_);
  if (version_[0] == 0) return false;
  std::memcpy(text, version_, sizeof version_);
  return true;
}

void Session::CacheVersion(const char text[512]) {
  Guard g(lock_);
  std::memcpy(version_, text, sizeof version_);
  version_[sizeof version_ - 1] = 0;
}

void Session::ForgetVersion() {
  Guard g(lock_);
  version_[0] = 0;
}

void Session::Abandon() {
  Guard g(lock_);
  onCall_ = nullptr;
  onBroken_ = nullptr;
  EndLocked(End::kByHost, true);
}

void Session::Close() {
  Guard g(lock_);
  if (state_ == State::kUp) {
    if (inHostCode_) {
      // A handler runs: its answer still leaves once it returns, and the
      // dispatcher closes the link then. Nothing here waits for it.
      EndLocked(End::kByHost, false);
    } else if (answerLeaving_) {
      // A handler has returned and its answer is on its way out: it goes
      // first, within the grace.
      EndLocked(End::kByHost, false);
      const Deadline grace = Deadline::In(kClosingGraceMs);
      while (answerLeaving_ && state_ == State::kEnding) {
        if (!changed_.Wait(lock_, grace)) break;
      }
      EndLocked(End::kByHost, true);
    } else {
      EndLocked(End::kByHost, true);
    }
  }
  while (!Quiet()) changed_.Wait(lock_, Deadline{});
}

}  // namespace vxb
