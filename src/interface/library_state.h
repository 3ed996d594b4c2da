// The process-wide state of the library: its objects, built at load in a
// fixed order and destroyed in reverse, and its plain fields.
#pragma once

#include <atomic>
#include <cstdint>

#include "../messaging/dispatch_thread.h"
#include "../messaging/petition_buffer.h"
#include "../messaging/reader_thread.h"
#include "../messaging/response_signal.h"
#include "../messaging/sync.h"
#include "../transport/socket_link.h"

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
  PetitionBuffer petition;
  Lock petitionLock;

  bool objectsLinked = false;

  // Plain fields. Host threads only, except the two flags that worker or
  // other host threads may touch.
  std::atomic<bool> serverMode{false};
  std::atomic<bool> petitionReady{false};
  // The block of the latest answer, as the command took it from the reader;
  // the last response points into it.
  RecvBuffer lastAnswer;
  const uint8_t* lastResponse = nullptr;
  uint32_t lastResponseLength = 0;
  int32_t languageIndex = 0;
  char productVersionCache[512] = {0};

  bool Connected() const { return link.DataSocket() != plat::kInvalidSocket; }
};

LibraryState& State();

// Links the objects on the first connect; always 0.
int LinkObjects();
// Waits for the worker threads of an earlier connection (which may have
// ended on their own) and starts both for the current one.
void StartWorkers();
// True when called on one of the library's own worker threads, from which
// connect and disconnect calls would wait for themselves.
bool OnWorkerThread();

}  // namespace vxb
