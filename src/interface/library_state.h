// The process-wide state of the library: its objects, built at load in a
// fixed order and destroyed in reverse, and its plain fields.
#pragma once

#include <atomic>
#include <cstdint>

#include "messaging/dispatch_thread.h"
#include "messaging/last_answers.h"
#include "messaging/petition_buffer.h"
#include "messaging/reader_thread.h"
#include "messaging/response_signal.h"
#include "platform/sync.h"
#include "transport/socket_link.h"

namespace vxb {

struct LibraryState {
  LibraryState() = default;
  // Ends a connection the host left open, so no worker thread outlives the
  // objects it uses. The host's handlers are dropped first: at unload the
  // host may already be gone.
  ~LibraryState();
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  // Objects, in construction order.
  SocketLink link;
  ReaderThread reader;
  DispatchThread dispatcher;
  ResponseSignal responseSignal;
  // After the signal: the answers it keeps go back to the signal's pool.
  LastAnswers lastAnswers;
  PetitionBuffer petition;
  Lock petitionLock;
  // Host commands take turns under it, from before the send until the
  // answer is taken; a command from inside a handler never takes it.
  // Connecting holds it while the new connection is set up, so no command
  // is sent on one connection and waits on the next.
  Lock commandLock;
  Lock productVersionLock;

  bool objectsLinked = false;

  // Plain fields. Host threads only, except those that worker or other
  // host threads may touch (atomic, or under the lock named).
  std::atomic<bool> serverMode{false};
  std::atomic<bool> petitionReady{false};
  std::atomic<int32_t> languageIndex{0};
  // The longest a command waits for its answer (plat::kInfinite: no
  // limit); read from the environment when a connection starts.
  std::atomic<uint32_t> commandTimeoutMs{plat::kInfinite};
  // productVersionLock: the cached text, and a count of the connections
  // that emptied it (an answer of an earlier one is not cached).
  char productVersionCache[512] = {0};
  uint32_t productVersionEpoch = 0;

  bool Connected() const { return link.DataSocket() != plat::kInvalidSocket; }
};

LibraryState& State();

// Links the objects on the first connect; always 0.
int LinkObjects();
// Waits for the worker threads of an earlier connection (which may have
// ended on their own) and starts both for the current one. The caller holds
// the command lock.
void StartWorkers();
// A new connection: the cached product version is asked for again.
void ForgetProductVersion();
// The command time-out the environment asks for: VXBRIDGE_COMMAND_TIMEOUT_MS,
// a whole number of milliseconds; unset, 0 or not a number: no limit.
uint32_t CommandTimeoutFromEnvironment();
// True when called on one of the library's own worker threads, from which
// connect and disconnect calls would wait for themselves.
bool OnWorkerThread();

}  // namespace vxb
