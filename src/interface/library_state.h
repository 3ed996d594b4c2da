// The process-wide state of the library: the current session (the
// connection the exports work on), the listening socket of server mode,
// and the plain fields that outlive connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "messaging/kept_calls.h"
#include "messaging/last_answers.h"
#include "messaging/petition_buffer.h"
#include "messaging/session.h"
#include "platform/sync.h"
#include "transport/listener.h"

namespace vxb {

struct LibraryState {
  LibraryState();
  // At an unload from a process that goes on: ends a connection the host
  // left open without calling its handlers again (the host may already be
  // gone) and without waiting for anything: the session's threads finish
  // on their own. (At the process's end the state is left alone.)
  ~LibraryState();
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  // The session the exports work on (null before the first connection). It
  // stays current after it ended, until the next connect or accept, so the
  // host can still take the calls a client connection left and read the
  // version it cached.
  SessionRef Current() EXCLUDES(currentLock) {
    Guard g(currentLock);
    return current;
  }
  void SetCurrent(SessionRef s) EXCLUDES(currentLock) {
    SessionRef old;
    {
      Guard g(currentLock);
      old = current;
      current = s;
    }
    // The old one is let go outside the lock: its last reference frees it.
  }
  // The session the calling thread works on: a handler's own connection on
  // a session's thread (even while the connect that made it has not yet
  // returned, or after the host connected elsewhere), else the current one.
  SessionRef ForThisThread() {
    if (Session* own = Session::OfThisThread()) {
      own->AddRef();
      return SessionRef(own);
    }
    return Current();
  }
  bool Connected() {
    const SessionRef s = ForThisThread();
    return s && s->IsUp();
  }

  // Connect, accept, disconnect and listen change the connection one at a
  // time (hosts may call them from several threads all the same).
  Lock connectLock;
  Lock currentLock;
  SessionRef current GUARDED_BY(currentLock);
  // The listening socket of server mode.
  Listener listener GUARDED_BY(connectLock);

  LastAnswers lastAnswers;
  // The viewer's calls kept for VxRecvCmd, of every connection, and the
  // answers the host owes in server mode.
  KeptCalls keptCalls;
  Lock petitionLock;
  PetitionBuffer petition GUARDED_BY(petitionLock);
  bool petitionReady GUARDED_BY(petitionLock) = false;
  std::atomic<bool> serverMode{false};
  std::atomic<int32_t> languageIndex{0};
};

LibraryState& State();

// Raised once by each session that ends after it was up; read and cleared
// by VxIsConnectionBroken. Outside the state, with nothing to destroy: a
// session's thread may still end after the state is gone at exit.
extern std::atomic<bool> g_connectionBroken;

// A new session on an open link, started and made current: 0, or -11 when
// it could not be made or its threads not started (the link is then closed
// and the current session stays). The caller holds connectLock.
int BeginSession(std::unique_ptr<SocketLink> link, const Session::Settings& settings);
// The settings of a new session: the command time-out the environment asks
// for, the role and the host's handlers.
Session::Settings SessionSettings(bool serverRole, CallHandler onCall, BrokenHandler onBroken);
// The command time-out the environment asks for: VXBRIDGE_COMMAND_TIMEOUT_MS,
// a whole number of milliseconds; unset, 0 or not a number: no limit.
uint32_t CommandTimeoutFromEnvironment();
// True when called on one of the library's own worker threads, from which
// connect and disconnect calls would wait for themselves.
inline bool OnWorkerThread() { return Session::OnSessionThread(); }

}  // namespace vxb
