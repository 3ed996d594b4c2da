#include "session.h"

#include <cstring>
#include <new>

namespace vxb {
namespace {
std::atomic<uint64_t> g_lastSerial{0};
}  // namespace

Session* Session::Create(std::unique_ptr<SocketLink> link, const Settings& settings) {
  auto* s = new (std::nothrow) Session(std::move(link), settings);
  if (s != nullptr && !s->reader_.Ready()) {
    delete s;
    return nullptr;
  }
  return s;
}

Session::Session(std::unique_ptr<SocketLink> link, const Settings& settings)
    : serial_(g_lastSerial.fetch_add(1) + 1),
      link_(std::move(link)),
      settings_(settings),
      reader_(*link_),
      onCall_(settings.onCall),
      onBroken_(settings.onBroken) {}

Session::~Session() {
  link_->Close();
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
  plat::ThreadRelease(readerThread_);
  plat::ThreadRelease(dispatcherThread_);
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
  dispatcherThread_ = plat::ThreadStart(&Session::DispatcherEntry, this);
  const bool dispatcherStarted = dispatcherThread_ != nullptr;
  if (!dispatcherStarted) refs_.fetch_sub(1, std::memory_order_relaxed);
  bool readerStarted = false;
  if (dispatcherStarted) {
    AddRef();
    readerThread_ = plat::ThreadStart(&Session::ReaderEntry, this);
    readerStarted = readerThread_ != nullptr;
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
  EndLocked(End::kNeverUp);
  readerDone_ = true;
  if (!dispatcherStarted) dispatcherDone_ = true;
  changed_.Await(lock_, Deadline{}, [this]() REQUIRES(lock_) { return dispatcherDone_; });
  return VX_E_NOT_ENOUGH_MEMORY;
}

bool Session::AwaitStart() {
  Guard g(lock_);
  changed_.Await(lock_, Deadline{}, [this]() REQUIRES(lock_) { return state_ != State::kConnecting; });
  return end_ != End::kNeverUp || state_ == State::kUp;
}

void Session::WorkerDone(bool reader) {
  Guard g(lock_);
  (reader ? readerDone_ : dispatcherDone_) = true;
  changed_.Broadcast();
}

bool Session::IsUp() {
  Guard g(lock_);
  return state_ == State::kUp;
}

void Session::EndLocked(End why) {
  switch (state_) {
    case State::kDown:
      return;
    case State::kConnecting:
      state_ = State::kDown;
      break;
    case State::kUp:
      end_ = why;
      // Only the host's own close waits for a handler's answer: a lost
      // connection cannot carry it, and an unload must not wait.
      state_ = why == End::kByHost && (callHandlerRuns_ || answerLeaving_) ? State::kEnding
                                                                             : State::kDown;
      line_.FailAll(VX_E_COMMUNICATION_BROKEN, &WakeWaiter, this);
      calls_.DropQueued();
      // A viewer that has gone can never be answered: the calls it left
      // for the host in server mode go with it.
      if (settings_.serverRole && settings_.keptCalls != nullptr) {
        settings_.keptCalls->DropOf(serial_);
      }
      break;
    case State::kEnding:
      state_ = State::kDown;
      break;
  }
  // Ending, only the answer of a handler that returned may still leave. A
  // message in a send is settled by its writer once the send returns (the
  // closed link makes it return at once).
  outbox_.FailAll(VX_E_COMMUNICATION_BROKEN, state_ == State::kEnding, &WakeSender, this);
  turn_ = nullptr;
  PassTurnLocked();
  changed_.Broadcast();
  callsReady_.Broadcast();
  if (state_ == State::kDown) {
    if (WireTrace* t = link_->Trace()) {
      if (end_ == End::kByHost || end_ == End::kUnload) t->Disconnected();
      if (end_ == End::kLost || end_ == End::kTimedOut) t->Broke();
    }
    link_->Close();
  }
}

void Session::WakeWaiter(void*, Waiter* w) { static_cast<WaitSpot*>(w->wake)->cv.Signal(); }

void Session::WakeSender(void*, Outgoing* m) { static_cast<WaitSpot*>(m->wake)->cv.Signal(); }

Session::WaitSpot* Session::TakeSpotLocked() {
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

void Session::GiveSpotLocked(WaitSpot* spot) {
  spot->next = spots_;
  spots_ = spot;
}

void Session::PassTurnLocked() {
  if (sending_ || turn_ != nullptr || outbox_.Empty()) return;
  turn_ = outbox_.Front();
  WakeSender(this, turn_);
}

int Session::TransmitLocked(Outgoing& m, WaitSpot* spot) {
  if (!SendableLocked(m.handlerAnswer)) return VX_E_COMMUNICATION_BROKEN;
  m.wake = spot;
  outbox_.Append(&m);
  PassTurnLocked();
  for (;;) {
    if (m.stage == Outgoing::Stage::kDone) return m.result;
    if (turn_ == &m) {
      WriteTurnLocked(m);
      continue;
    }
    if (spot->cv.Await(lock_, m.deadline, [this, &m]() REQUIRES(lock_) {
          return m.stage == Outgoing::Stage::kDone || turn_ == &m;
        })) {
      continue;
    }
    if (m.stage == Outgoing::Stage::kSending) {
      // In a send of the thread before it, which ends by the latest
      // deadline of the messages in it: at most Outbox::kJoinWindowMs after
      // this one's.
      spot->cv.Await(lock_, Deadline{}, [&m] { return m.stage == Outgoing::Stage::kDone; });
      continue;
    }
    // Its time is up before its turn came: the messages before it have not
    // left in all that time.
    if (m.withdrawable) {
      outbox_.Remove(&m);
      m.stage = Outgoing::Stage::kDone;
      m.result = kWithdrawn;
      continue;
    }
    // An answer or raw bytes cannot be taken back: the viewer would take
    // the next answer for the one it waits for.
    EndLocked(End::kTimedOut);
  }
}

void Session::WriteTurnLocked(Outgoing& m) {
  turn_ = nullptr;
  if (m.deadline.LeftMs() == 0) {
    // The turn came, but too late (see TransmitLocked).
    if (m.withdrawable) {
      outbox_.Remove(&m);
      m.stage = Outgoing::Stage::kDone;
      m.result = kWithdrawn;
      PassTurnLocked();
    } else {
      EndLocked(End::kTimedOut);
    }
    return;
  }
  Deadline sendBy;
  Outgoing* batch = outbox_.TakeBatch(&sendBy);
  sending_ = true;
  lock_.Leave();
  const int rc = WriteFrames(*link_, &batch->frame, sendBy.LeftMs());
  lock_.Enter();
  sending_ = false;
  if (state_ != State::kUp) changed_.Broadcast();  // a host's close may wait for it
  for (Outgoing* o = batch; o != nullptr;) {
    Outgoing* next = o->next;  // o may be gone once its owner wakes
    o->stage = Outgoing::Stage::kDone;
    o->result = rc;
    if (o != &m) WakeSender(this, o);
    o = next;
  }
  // Torn or not written: the stream cannot be brought back into step.
  if (rc != VX_OK) EndLocked(sendBy.LeftMs() == 0 ? End::kTimedOut : End::kLost);
  PassTurnLocked();
}

int Session::SendLocked(Outgoing& m) {
  WaitSpot* spot = TakeSpotLocked();
  if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  const int rc = TransmitLocked(m, spot);
  GiveSpotLocked(spot);
  return rc;
}

int Session::Command(const std::string& message, Answer** answer) {
  *answer = nullptr;
  Outgoing m;
  m.frame.head = message.data();
  m.frame.headLength = static_cast<uint32_t>(message.size());
  m.deadline = Deadline::In(settings_.commandTimeoutMs);
  m.withdrawable = true;
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_COMMUNICATION_BROKEN;
  WaitSpot* spot = TakeSpotLocked();
  if (spot == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  Waiter w;
  w.wake = spot;
  // Its place in the line in the critical section that queues its message:
  // the line's order is the order of the messages on the wire.
  line_.Enqueue(&w);
  const int sent = TransmitLocked(m, spot);
  if (sent == kWithdrawn) {
    // Never written: it leaves the line as if it had never joined it.
    if (!w.done) line_.Withdraw(&w);
  } else if (sent == VX_OK &&
             !spot->cv.Await(lock_, m.deadline, [&w] { return w.done; })) {
    // No answer in time. It may still come, and would be taken for the
    // next command's: the connection cannot be trusted any more.
    EndLocked(End::kTimedOut);
  }
  // A failed write ended the session, which settled w with -6, unless its
  // answer had come already: then the viewer had the whole message, and
  // the answer is its own.
  GiveSpotLocked(spot);
  if (!w.done || w.result != VX_OK) return w.done ? w.result : VX_E_COMMUNICATION_BROKEN;
  *answer = w.answer;
  return VX_OK;
}

int Session::SendAnswer(int32_t code, const void* payload, int32_t length) {
  char header[32];
  Outgoing m;
  m.frame.head = header;
  m.frame.headLength = FormatResponseHeader(header, code, length);
  m.frame.tail = payload;
  m.frame.tailLength = length > 0 ? static_cast<uint32_t>(length) : 0;
  m.deadline = Deadline::In(settings_.commandTimeoutMs);
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
  return SendLocked(m);
}

int Session::SendRaw(const void* data, uint32_t length) {
  Outgoing m;
  m.frame.head = data;
  m.frame.headLength = length;
  m.frame.framed = false;
  m.deadline = Deadline::In(settings_.commandTimeoutMs);
  Guard g(lock_);
  if (state_ != State::kUp) return VX_E_NOT_CONNECTED;
  return SendLocked(m);
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
  EndLocked(End::kUnload);
}

void Session::Close() {
  if (!EndForTheHost()) return;
  // Done with the host; now wholly ended. (A thread's last steps take no
  // lock of the session's, but they need not be waited for under it.)
  plat::ThreadWaitEnded(dispatcherThread_, kThreadEndWaitMs);
  plat::ThreadWaitEnded(readerThread_, kThreadEndWaitMs);
}

bool Session::EndForTheHost() {
  Guard g(lock_);
  // Lost on its own (or closed already): nothing to close, nothing to wait
  // for; that loss's BrokenHandler may still be running.
  if (state_ != State::kUp) return false;
  EndLocked(End::kByHost);
  // A CallHandler that runs is host code, and is waited for as long as it
  // takes (a handler must not wait for a thread inside the close). What
  // the library still does for the ended session gets the grace: a send
  // still running after it (to a viewer that reads nothing) would hold a
  // handler waiting on it, and with it this close, for ever, so the link
  // goes, and with it that send (and the handler's answer: it could not
  // have left either).
  if (!changed_.Await(lock_, Deadline::In(kClosingGraceMs),
                      [this]() REQUIRES(lock_) { return !callHandlerRuns_ || !sending_; })) {
    EndLocked(End::kByHost);
  }
  changed_.Await(lock_, Deadline{}, [this]() REQUIRES(lock_) { return !callHandlerRuns_; });
  // The answer of the handler that returned has the grace to leave; the
  // dispatcher takes the session down once it has.
  if (!changed_.Await(lock_, Deadline::In(kClosingGraceMs),
                      [this]() REQUIRES(lock_) { return state_ == State::kDown; })) {
    EndLocked(End::kByHost);
  }
  changed_.Await(lock_, Deadline{},
                 [this]() REQUIRES(lock_) { return readerDone_ && dispatcherDone_; });
  return true;
}

}  // namespace vxb
