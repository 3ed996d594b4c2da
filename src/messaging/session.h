// Session: one connection to the viewer, from its start to its end, with
// everything that belongs to it: the socket link (with its read-ahead and
// its trace), the reader and dispatcher threads, the line that pairs
// answers with commands, the calls held for the host, the cached product
// version and the time-out. A client connect, a launch and each accepted
// viewer make a new session; nothing of one can reach another, because a
// command, a call or an answer only ever lives in the session it came on.
//
// States (only ever forward):
//
//   connecting --Start ok--> up --end--> [ending] --> down
//        \--Start failed-----------------------------^  (silently)
//
//   connecting  the threads are being started; they wait and do nothing.
//   up          commands are sent and answered, calls delivered.
//   ending      the host closed while a handler ran: commands and calls
//               are over, but the link stays open until that handler's
//               answer has left (the answer of a handler that has returned
//               is never lost to a disconnect).
//   down        the link is closed; the reader ends; the dispatcher calls
//               the BrokenHandler (unless the session never came up) and
//               ends.
//
// Leaving `up` raises the library's broken-connection flag once, and sends
// every command still waiting home with -6.
//
// Lifetime: counted references (nng's pipe). The library holds the current
// session, each worker thread holds one until it ends, and every command
// holds one while it runs. Nobody waits for the worker threads to end:
// they finish on their own and the last reference frees the session.
//
// Writing: every message (a command, an answer, raw bytes) goes through
// the outbox; whoever hands one in while nobody writes becomes the writer
// until the outbox is empty, so threads that send at once share sends, and
// a command takes its place in the line of waiting commands in the same
// critical section that queues its message: the line's order is the order
// of the bytes on the wire.
//
// Locks: lock_ guards the state and everything below marked so. No lock of
// the session is held while host code runs, while a message is written to
// the socket or while the reader waits for bytes. Lock order: the
// library's locks, then lock_, then the answer pool's and the link's own
// leaf locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vxbridge.h"
#include "platform/sync.h"
#include "transport/socket_link.h"
#include "transport/wire_format.h"
#include "answer.h"
#include "answer_line.h"
#include "held_calls.h"
#include "outbox.h"

namespace vxb {

class Session {
 public:
  enum class State { kConnecting, kUp, kEnding, kDown };

  struct Settings {
    bool serverRole = false;
    CallHandler onCall = nullptr;
    BrokenHandler onBroken = nullptr;
    // The longest a command may take, from its start to its answer,
    // waiting to send and sending included (plat::kInfinite: no limit).
    uint32_t commandTimeoutMs = plat::kInfinite;
    // Raised once when the session leaves `up` (the process-wide flag
    // VxIsConnectionBroken reports); must outlive every session.
    std::atomic<bool>* brokenFlag = nullptr;
  };

  // A session for a link that is open, with one reference (the caller's).
  // Null without memory.
  static Session* Create(std::unique_ptr<SocketLink> link, const Settings& settings);
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release();

  // Starts the reader and the dispatcher. 0: up. -11: a thread could not
  // be started; the link is closed, nothing runs and no handler is called.
  int Start();

  // ---- host side ----
  bool IsUp();
  // The connection's socket (kInvalidSocket once closed); for tests that
  // inject faults into it.
  plat::Socket DataSocket() const { return link_->DataSocket(); }
  // Sends one message (FormatCall/FormatSystemCall) and waits for its
  // answer: 0 with *answer (the caller's hold); -6 when the session is not
  // up (the caller tells "not connected" from "ended meanwhile"), ended
  // before the answer came, or the time-out passed (the session is then
  // ended: a late answer could no longer be paired); -11 without memory.
  int Command(const std::string& message, Answer** answer);
  // A RET from the host (server mode answers). In the server role it is
  // sent only for a call of this viewer the host has taken and not yet
  // answered: -3 otherwise (the viewer it would answer is gone). 0, -3, -6.
  int SendAnswer(int32_t code, const void* payload, int32_t length);
  // Bytes as they are, no framing (VxSendRaw). 0, -3, -6.
  int SendRaw(const void* data, uint32_t length);
  // The oldest call kept for the host (VxRecvCmd); in the server role it is
  // then owed an answer (SendAnswer).
  bool TakeCall(CallRecord* record);
  // The latest answer of the commands a handler sent on this session's
  // dispatcher thread (that thread's latest response), held for the
  // caller; Keep takes over the caller's hold. Kept here rather than with
  // the host's threads: a session's thread must leave nothing behind in the
  // library's state, which it may outlive at exit.
  Answer* HoldHandlerAnswer();
  void KeepHandlerAnswer(Answer* answer);
  // The product version this viewer gave (false: not asked yet), and the
  // place to keep it; 512 bytes, NUL-terminated.
  bool CachedVersion(char text[512]);
  void CacheVersion(const char text[512]);
  void ForgetVersion();
  // Ends the session for the host (VxDisconnect, the next connect or
  // accept, unload). Returns once the library is done with it, without
  // waiting for host code: a handler still running finishes on its own
  // (its answer still leaves, then the link closes), and the BrokenHandler
  // may run after this returns.
  void Close();
  // As Close, for an unload: no handler of the host is called any more
  // (the host may be gone already), and nothing is waited for.
  void Abandon();

  // True on the reader or dispatcher thread of any session.
  static bool OnSessionThread();
  // The session whose reader or dispatcher thread calls (null on any other
  // thread); it holds a reference while its thread runs.
  static Session* OfThisThread();

  // How long the host's close gives an answer that is leaving, or the
  // answer of a handler that returns meanwhile, before the link goes.
  static constexpr uint32_t kClosingGraceMs = 2000;

 private:
  // How a session ends, for its trace and its handlers.
  enum class End { kByHost, kLost, kNeverUp };
  // A place to sleep for one waiting command; kept for reuse.
  struct WaitSpot {
    CondVar cv;
    WaitSpot* next = nullptr;
  };

  Session(std::unique_ptr<SocketLink> link, const Settings& settings, AnswerPool* pool);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The worker threads (reader_loop.cpp, dispatch_loop.cpp).
  static void MarkSessionThread(Session* self);
  static void ReaderEntry(void* self);
  static void DispatcherEntry(void* self);
  void ReadLoop();
  void DispatchLoop();
  // Puts a blank answer's block in the response slot for the body about to
  // be read; the reader then hands that answer on.
  static bool LendBlock(void* self);
  Answer* TakeLent();
  // The dispatcher's answer to a call: under the send turn, within the
  // time-out (or the closing grace once the host has closed). Also takes
  // an ending session down once the answer has left.
  void SendCallAnswer(int32_t code, const char* text, size_t capacity);

  // Whether a message may still be written: up, or (for the answer of a
  // handler that has returned) ending.
  bool Sendable(bool handlerAnswer) const REQUIRES(lock_) {
    return state_ == State::kUp || (handlerAnswer && state_ == State::kEnding);
  }
  // Hands m to the outbox; this thread writes it (and what else is queued)
  // when nobody else writes. False when nothing may be written any more.
  bool Queue(Outgoing& m, WaitSpot* spot, Deadline deadline) REQUIRES(lock_);
  // Returns once m is written (0) or given up (-6; the session is then
  // ended). The lock is let go meanwhile; a deadline that passes ends the
  // session.
  int AwaitWritten(Outgoing& m, WaitSpot* spot, Deadline deadline) REQUIRES(lock_);
  int Transmit(Outgoing& m, WaitSpot* spot, Deadline deadline) REQUIRES(lock_) {
    return Queue(m, spot, deadline) ? AwaitWritten(m, spot, deadline) : VX_E_COMMUNICATION_BROKEN;
  }
  // Writes what the outbox holds until it is empty (this thread is the
  // writer); the lock is let go during each send.
  void WriteOutbox(Deadline deadline) REQUIRES(lock_);
  static void WakeSender(void* self, Outgoing* m);
  // Leaves `up` (or `connecting`): waiting commands return -6, the flag is
  // raised, the dispatcher learns it. closeLink: down at once (else
  // ending). Does nothing once the session has left `up`, but for taking
  // an ending session down.
  void EndLocked(End how, bool closeLink) REQUIRES(lock_);
  static void WakeWaiter(void* self, Waiter* w);
  WaitSpot* TakeSpot() REQUIRES(lock_);
  void GiveSpot(WaitSpot* spot) REQUIRES(lock_);
  // The workers wait for the end of `connecting`: true when the session
  // came up (it may have ended since), false when its start failed.
  bool AwaitStart();
  // A worker is through with the library's part (see Close).
  void WorkerDone(bool reader);
  // The host's close is over: the workers are done, or host code runs.
  bool Quiet() const REQUIRES(lock_) {
    return (readerDone_ && dispatcherDone_) || inHostCode_;
  }

  std::atomic<int32_t> refs_{1};
  const std::unique_ptr<SocketLink> link_;
  const Settings settings_;
  AnswerPool* const pool_;
  Answer* lent_ = nullptr;  // the reader's own

  Lock lock_;
  CondVar changed_;      // the state, a worker done, host code entered, an answer left
  CondVar callsReady_;   // a call queued for the dispatcher (and every state change)
  State state_ GUARDED_BY(lock_) = State::kConnecting;
  End end_ GUARDED_BY(lock_) = End::kNeverUp;
  Outbox outbox_ GUARDED_BY(lock_);
  bool writing_ GUARDED_BY(lock_) = false;   // a thread writes the outbox
  AnswerLine line_ GUARDED_BY(lock_);
  WaitSpot* spots_ GUARDED_BY(lock_) = nullptr;
  HeldCalls calls_ GUARDED_BY(lock_);
  uint32_t owedAnswers_ GUARDED_BY(lock_) = 0;  // server role: calls taken, not answered
  CallHandler onCall_ GUARDED_BY(lock_);
  BrokenHandler onBroken_ GUARDED_BY(lock_);
  bool inHostCode_ GUARDED_BY(lock_) = false;    // a handler runs
  bool answerLeaving_ GUARDED_BY(lock_) = false; // the dispatcher writes an answer
  bool readerDone_ GUARDED_BY(lock_) = false;
  bool dispatcherDone_ GUARDED_BY(lock_) = false;
  char version_[512] GUARDED_BY(lock_) = {0};
  Answer* handlerAnswer_ GUARDED_BY(lock_) = nullptr;
};

// A counted reference to a session.
class SessionRef {
 public:
  SessionRef() = default;
  // Adopts one reference the caller holds.
  explicit SessionRef(Session* s) : s_(s) {}
  SessionRef(const SessionRef& o) : s_(o.s_) {
    if (s_ != nullptr) s_->AddRef();
  }
  SessionRef(SessionRef&& o) noexcept : s_(o.s_) { o.s_ = nullptr; }
  SessionRef& operator=(SessionRef o) noexcept {
    Session* old = s_;
    s_ = o.s_;
    o.s_ = old;
    return *this;
  }
  ~SessionRef() {
    if (s_ != nullptr) s_->Release();
  }
  Session* get() const { return s_; }
  Session* operator->() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  Session* s_ = nullptr;
};

}  // namespace vxb
