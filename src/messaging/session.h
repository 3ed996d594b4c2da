// Session: one connection to the viewer, from its start to its end, with
// everything that belongs to it: the socket link (with its trace), the
// frame reader (with its read-ahead and the answers' blocks), the reader
// and dispatcher threads, the line that pairs answers with commands, the outbox of messages to write, the calls on
// their way to the host, the cached product version and the time-out. A
// client connect, a launch and each accepted viewer make a new session;
// nothing of one can reach another, because a command, a call or an answer
// only ever lives in the session it came on.
//
// States (only ever forward), all changed by EndLocked:
//
//   connecting --Start ok--> up --end--> [ending] --> down
//        \--Start failed-----------------------------^  (silently)
//
//   connecting  the threads are being started; they wait and do nothing.
//   up          commands are sent and answered, calls delivered.
//   ending      the host closed while a CallHandler ran or its answer was
//               leaving: commands and calls are over, but the link stays
//               open until that handler's answer has left (within the
//               closing grace), so an answer is never lost to a close.
//   down        the link is closed; the reader ends; the dispatcher calls
//               the BrokenHandler (unless the session never came up),
//               raises the library's broken-connection flag and ends.
//
// Leaving `up` sends every command still waiting home with -6.
//
// Lifetime: counted references (nng's pipe). The library holds the current
// session, each worker thread holds one until it ends, and every command
// holds one while it runs. The host's close waits for the worker threads
// to be done with the host (Close); nothing else waits for them, and the
// last reference frees the session.
//
// Writing: every message (a command, an answer, raw bytes) goes through
// the outbox and is written by its own thread, under its own deadline, in
// its turn (outbox.h). A command takes its place in the line of waiting
// commands in the same critical section that queues its message: the
// line's order is the order of the bytes on the wire.
//
// Time-out (the settings' commandTimeoutMs, from a command's start to its
// answer): a command whose message could not even begin to leave in time
// is taken back and fails alone, the connection untouched (the viewer
// never saw it). The connection ends when a message is torn by its
// deadline, when an answer to a viewer's call cannot leave in time (the
// viewer would take the next answer for it), or when a command's answer
// does not come in time (it could come later and be taken for another's).
//
// Locks: lock_ guards the state and everything below marked so. Methods
// that take it say EXCLUDES(lock_); helpers that need it held end in
// `Locked` and say REQUIRES(lock_). No lock of the session is held while
// host code runs, while a message is written to the socket or while the
// reader waits for bytes. Lock order: the library's locks, then lock_,
// then the leaf locks (the answer pool's, the kept calls', the link's).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vxbridge.h"
#include "platform/sync.h"
#include "transport/answer.h"
#include "transport/frame_reader.h"
#include "transport/socket_link.h"
#include "transport/wire_format.h"
#include "answer_line.h"
#include "held_calls.h"
#include "kept_calls.h"
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
    // waiting to send and sending included (plat::kInfinite: no limit);
    // it bounds the sending of answers and raw bytes too.
    uint32_t commandTimeoutMs = plat::kInfinite;
    // Raised once the session has ended after it was up and its
    // BrokenHandler has run (the process-wide flag VxIsConnectionBroken
    // reports); must outlive every session.
    std::atomic<bool>* brokenFlag = nullptr;
    // Where the calls that no handler takes are kept for the host; must
    // outlive every session.
    KeptCalls* keptCalls = nullptr;
  };

  // A session for a link that is open, with one reference (the caller's).
  // Null without memory.
  static Session* Create(std::unique_ptr<SocketLink> link, const Settings& settings);
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release();
  // A number no other session of the process has (never 0).
  uint64_t Serial() const { return serial_; }

  // Starts the reader and the dispatcher. 0: up. -11: a thread could not
  // be started; the link is closed, nothing runs and no handler is called.
  int Start() EXCLUDES(lock_);

  // ---- host side ----
  bool IsUp() EXCLUDES(lock_);
  // The connection's socket (kInvalidSocket once closed); for tests that
  // inject faults into it.
  plat::Socket DataSocket() const { return link_->DataSocket(); }
  // Sends one message (FormatCall/FormatSystemCall) and waits for its
  // answer: 0 with *answer (the caller's hold); -6 when the session is not
  // up (the caller tells "not connected" from "ended meanwhile"), ended
  // before the answer came, or the time-out passed; -11 without memory. An
  // answer that came is kept, whatever happens to the connection after.
  int Command(const std::string& message, Answer** answer) EXCLUDES(lock_);
  // A RET from the host (server mode answers), sent as it is. 0; -3 when
  // the session is not up; -6 the send failed or did not finish in time
  // (the session is then ended).
  int SendAnswer(int32_t code, const void* payload, int32_t length) EXCLUDES(lock_);
  // Bytes as they are, no framing (VxSendRaw). 0, -3, -6 as SendAnswer.
  int SendRaw(const void* data, uint32_t length) EXCLUDES(lock_);
  // The latest answer of the commands a handler sent on this session's
  // dispatcher thread (that thread's latest response), held for the
  // caller; Keep takes over the caller's hold.
  Answer* HoldHandlerAnswer() EXCLUDES(lock_);
  void KeepHandlerAnswer(Answer* answer) EXCLUDES(lock_);
  // The product version this viewer gave (false: not asked yet), and the
  // place to keep it; 512 bytes, NUL-terminated.
  bool CachedVersion(char text[512]) EXCLUDES(lock_);
  void CacheVersion(const char text[512]) EXCLUDES(lock_);
  void ForgetVersion() EXCLUDES(lock_);
  // Ends a session that is up, for the host (VxDisconnect, the next
  // accept, a server's listen, a launch), and returns once no handler of
  // it runs or will run: its running CallHandler has returned, that
  // handler's answer has left (within kClosingGraceMs of its return), and
  // its BrokenHandler has run. A session that ended on its own returns at
  // once (its BrokenHandler may still be running). Never on the session's
  // own threads: it would wait for itself.
  void Close() EXCLUDES(lock_);
  // As Close, for an unload: no handler of the host is called any more
  // (the host may be gone already), and nothing is waited for.
  void Abandon() EXCLUDES(lock_);

  // True on the reader or dispatcher thread of any session.
  static bool OnSessionThread();
  // The session whose reader or dispatcher thread calls (null on any other
  // thread); it holds a reference while its thread runs.
  static Session* OfThisThread();

  // How long the host's close gives the answer of a handler that has
  // returned, before the link goes.
  static constexpr uint32_t kClosingGraceMs = 2000;
  // How long the host's close waits, once the workers are done with the
  // host, for their threads to have ended wholly: a host that ends its
  // process right after the close then finds none of them in the middle of
  // ending (Wine kills such a process). Their last steps take no lock of
  // the library's; the bound is for a host that closes while holding the
  // system's loader lock.
  static constexpr uint32_t kThreadEndWaitMs = 5000;

 private:
  // Why a session ended (its trace and its handlers follow from it).
  enum class End { kNeverUp, kByHost, kUnload, kLost, kTimedOut };
  // A place to sleep for one thread waiting in the session; kept for reuse.
  struct WaitSpot {
    CondVar cv;
    WaitSpot* next = nullptr;
  };
  // What Transmit says of a command taken back unwritten.
  static constexpr int kWithdrawn = 1;

  Session(std::unique_ptr<SocketLink> link, const Settings& settings);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The worker threads (reader_loop.cpp, dispatch_loop.cpp).
  static void MarkSessionThread(Session* self);
  static void ReaderEntry(void* self);
  static void DispatcherEntry(void* self);
  void ReadLoop() EXCLUDES(lock_);
  void DispatchLoop() EXCLUDES(lock_);
  // The reader's routing of one finished message (taking it over); a call
  // that cannot be held ends the session (false).
  void RouteAnswer(Answer* answer) EXCLUDES(lock_);
  bool RouteCall(IncomingMessage call) EXCLUDES(lock_);
  // The dispatcher's answer to a call, through the outbox; takes an ending
  // session down once the answer has left.
  void SendCallAnswer(int32_t code, const char* text, size_t capacity) EXCLUDES(lock_);

  // The one change of state: leaves `up` (or `connecting`) for `ending`
  // or `down`, or takes an ending session down. Ending is chosen only by
  // the host's close while a handler runs or its answer leaves. Does
  // nothing to a session that is down.
  void EndLocked(End why) REQUIRES(lock_);

  // Hands m to the outbox and returns once it is written (0), given up
  // with the session (-6), or, a command's only, taken back unwritten at
  // its deadline (kWithdrawn). Its owner writes it when its turn comes.
  int TransmitLocked(Outgoing& m, WaitSpot* spot) REQUIRES(lock_);
  int SendLocked(Outgoing& m) REQUIRES(lock_);
  // This thread has the turn for m, at the front: writes it and what may
  // share its send, then passes the turn on. The lock is let go during the
  // send.
  void WriteTurnLocked(Outgoing& m) REQUIRES(lock_);
  // Gives the turn to the owner of the front message when nobody has it.
  void PassTurnLocked() REQUIRES(lock_);
  static void WakeSender(void* self, Outgoing* m);
  static void WakeWaiter(void* self, Waiter* w);
  // Whether a message may still be written: up, or (for the answer of a
  // handler that has returned) ending.
  bool SendableLocked(bool handlerAnswer) const REQUIRES(lock_) {
    return state_ == State::kUp || (handlerAnswer && state_ == State::kEnding);
  }
  WaitSpot* TakeSpotLocked() REQUIRES(lock_);
  void GiveSpotLocked(WaitSpot* spot) REQUIRES(lock_);
  // The workers wait for the end of `connecting`: true when the session
  // came up (it may have ended since), false when its start failed.
  bool AwaitStart() EXCLUDES(lock_);
  // Close up to the workers being done with the host; false when there was
  // nothing to close.
  bool EndForTheHost() EXCLUDES(lock_);
  // A worker is done: the reader with the link, the dispatcher with the
  // host (its BrokenHandler has run).
  void WorkerDone(bool reader) EXCLUDES(lock_);

  std::atomic<int32_t> refs_{1};
  const uint64_t serial_;
  // The worker threads' handles, set by Start and given up by the
  // destructor (which may run on one of them).
  plat::ThreadImpl* readerThread_ = nullptr;
  plat::ThreadImpl* dispatcherThread_ = nullptr;
  const std::unique_ptr<SocketLink> link_;
  const Settings settings_;
  FrameReader reader_;  // the reader thread's own: no lock

  Lock lock_;
  CondVar changed_;     // the state, a worker done, a handler returned, an answer left
  CondVar callsReady_;  // a call queued for the dispatcher (and every state change)
  State state_ GUARDED_BY(lock_) = State::kConnecting;
  End end_ GUARDED_BY(lock_) = End::kNeverUp;
  Outbox outbox_ GUARDED_BY(lock_);
  Outgoing* turn_ GUARDED_BY(lock_) = nullptr;  // whose owner may write now
  bool sending_ GUARDED_BY(lock_) = false;      // a send of the outbox's runs
  AnswerLine line_ GUARDED_BY(lock_);
  WaitSpot* spots_ GUARDED_BY(lock_) = nullptr;
  HeldCalls calls_ GUARDED_BY(lock_);
  CallHandler onCall_ GUARDED_BY(lock_);
  BrokenHandler onBroken_ GUARDED_BY(lock_);
  bool callHandlerRuns_ GUARDED_BY(lock_) = false;
  bool answerLeaving_ GUARDED_BY(lock_) = false;  // the dispatcher sends an answer
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
