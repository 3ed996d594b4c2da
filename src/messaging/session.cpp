#include "session.h"

#include <cstring>
#include <new>

namespace vxb {
namespace {
// The session whose thread this is (null on the host's threads): a
// handler's commands go to its own connection, and the calls that must not
// be made from a handler are refused there.
thread_local Session* t_session = nullptr;
}  // namespace

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

bool Session::OnSessionThread() { return t_session != nullptr; }
Session* Session::OfThisThread() { return t_session; }
void Session::MarkSessionThread(Session* self) { t_session = self; }

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

bool Session::TakeTurn(Deadline deadline, bool handlerAnswer, bool* timedOut) {
  *timedOut = false;
  while (sending_ && Sendable(handlerAnswer)) {
    if (!turnFree_.Wait(lock_, deadline)) {
      *timedOut = true;
      return false;
    }
  }
  if (!Sendable(handlerAnswer)) return false;
  if (deadline.Passed()) {
    // Woken with no time left: the turn goes to the next in line.
    turnFree_.Signal();
    *timedOut = true;
    return false;
  }
  sending_ = true;
  return true;
}

void Session::GiveTurn() {
  sending_ = false;
  turnFree_.Signal();
}

void Session::EndLocked(End how, bool closeLink) {
  if (state_ == State::kConnecting || state_ == State::kUp) {
    const bool wasUp = state_ == State::kUp;
    state_ = closeLink ? State::kDown : State::kEnding;
    end_ = wasUp ? how : End::kNeverUp;
    line_.FailAll(VX_E_COMMUNICATION_BROKEN, &WakeWaiter, this);
    calls_.DropQueued();
    // A viewer that has gone can never be answered: the calls it left in
    // server mode go with it, and so does what the host owed it.
    if (settings_.serverRole) calls_.DropKept();
    owedAnswers_ = 0;
    // Before the link closes: a command woken by the close may ask for it.
    if (wasUp && settings_.brokenFlag != nullptr) settings_.brokenFlag->store(true);
  } else if (state_ == State::kEnding && closeLink) {
    state_ = State::kDown;
  } else {
    return;
  }
  changed_.Broadcast();
  callsReady_.Broadcast();
  turnFree_.Broadcast();
  if (state_ != State::kDown) return;
  if (WireTrace* t = link_->Trace()) {
    if (end_ == End::kByHost) t->Disconnected();
    if (end_ == End::kLost) t->Broke();
  }
  link_->Close();
}

int Session::Command(const std::string& message, Answer** answer) {
  *answer = nullptr;
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  Waiter w;
  WaitSpot* spot = nullptr;
  {
    Guard g(lock_);
    if (state_ != State::kUp) return VX_E_COMMUNICATION_BROKEN;
    spot = TakeSpot();
    if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
    w.wake = spot;
    bool timedOut = false;
    if (!TakeTurn(deadline, false, &timedOut)) {
      GiveSpot(spot);
      // Still not sent when the time ran out: the link is stuck (a viewer
      // that stopped reading), and the next command would be too.
      if (timedOut) EndLocked(End::kLost, true);
      return VX_E_COMMUNICATION_BROKEN;
    }
    // In the turn that writes the message: the line's order is the order
    // of the messages on the wire.
    line_.Enqueue(&w);
  }
  const int sent = SendMessageText(*link_, message, deadline.LeftMs());
  Guard g(lock_);
  GiveTurn();
  if (sent != VX_OK) {
    // Torn or not sent: whatever answer it was given is no answer to it.
    LetGo(w.answer);
    w.answer = nullptr;
    w.done = true;
    w.result = VX_E_COMMUNICATION_BROKEN;
    EndLocked(End::kLost, true);
  }
  while (!w.done) {
    if (!spot->cv.Wait(lock_, deadline)) {
      // No answer in time. It may still come, and would be taken for the
      // next command's: the connection cannot be trusted any more.
      EndLocked(End::kLost, true);
    }
  }
  GiveSpot(spot);
  if (w.result != VX_OK) return w.result;
  *answer = w.answer;
  return VX_OK;
}

int Session::SendAnswer(int32_t code, const void* payload, int32_t length) {
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  {
    Guard g(lock_);
    if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
    // In server mode every answer belongs to a call this viewer made and
    // the host took; one without such a call would reach the viewer as the
    // answer to its next call.
    if (settings_.serverRole && owedAnswers_ == 0) return VX_E_NOT_CONNECTED;
    bool timedOut = false;
    if (!TakeTurn(deadline, false, &timedOut)) {
      if (timedOut) EndLocked(End::kLost, true);
      return VX_E_COMMUNICATION_BROKEN;
    }
    if (settings_.serverRole) --owedAnswers_;
  }
  const int rc = SendResponse(*link_, code, payload, length, deadline.LeftMs());
  Guard g(lock_);
  GiveTurn();
  if (rc != VX_OK) EndLocked(End::kLost, true);
  return rc;
}

int Session::SendRaw(const void* data, uint32_t length) {
  const Deadline deadline = Deadline::In(settings_.commandTimeoutMs);
  {
    Guard g(lock_);
    if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
    bool timedOut = false;
    if (!TakeTurn(deadline, false, &timedOut)) {
      if (timedOut) EndLocked(End::kLost, true);
      return VX_E_COMMUNICATION_BROKEN;
    }
  }
  if (WireTrace* t = link_->Trace()) t->SentRaw(data, length);
  const int rc = link_->Send(data, length, nullptr, 0, deadline.LeftMs());
  Guard g(lock_);
  GiveTurn();
  if (rc != VX_OK) EndLocked(End::kLost, true);
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

void Session::DropHandlers() {
  Guard g(lock_);
  onCall_ = nullptr;
  onBroken_ = nullptr;
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
