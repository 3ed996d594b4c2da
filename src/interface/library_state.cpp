#include "library_state.h"

#include "transport/command_timeout_setting.h"

namespace vxb {
namespace {

// The state is made at load and destroyed at unload, except when the
// process itself is ending. Then other threads may still be at work in the
// library, the library's own among them (a handler still running, a host
// thread still sending): freed under them, the state would be used after
// it was freed. On Windows they may instead have been ended in the middle
// of anything, a lock held (the heap's too) that is never let go. Either
// way the process's end takes everything with it.
struct StateHolder {
  LibraryState* state = new LibraryState;
  ~StateHolder() {
    if (!plat::TeardownIsProcessExit()) delete state;
  }
} g_holder;

}  // namespace

std::atomic<bool> g_connectionBroken{false};

LibraryState& State() { return *g_holder.state; }

LibraryState::LibraryState() { plat::SocketsStart(); }

LibraryState::~LibraryState() {
  if (SessionRef s = Current()) s->Abandon();
  SetCurrent(SessionRef());
  Guard g(connectLock);
  listener.Close();
  // Windows unloads a DLL only once the threads that hold it are gone (each
  // holds a reference to it), so no session thread runs here any more.
  plat::SocketsStop();
}

Session::Settings SessionSettings(bool serverRole, CallHandler onCall, BrokenHandler onBroken) {
  Session::Settings settings;
  settings.serverRole = serverRole;
  settings.onCall = onCall;
  settings.onBroken = onBroken;
  settings.commandTimeoutMs = CommandTimeoutFromEnvironment();
  settings.brokenFlag = &g_connectionBroken;
  settings.keptCalls = &State().keptCalls;
  return settings;
}

// Invalid values mean no limit, and the connection's trace says so.
uint32_t CommandTimeoutFromEnvironment() { return CommandTimeoutSetting(); }

}  // namespace vxb
