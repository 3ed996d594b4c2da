#include "library_state.h"

#include "transport/command_timeout_setting.h"

namespace vxb {
namespace {

// The state is made at load and destroyed at unload, except when the
// process itself is ending: Windows has then ended every other thread,
// possibly inside a lock or in the middle of freeing memory, and a lock
// such a thread held is never let go, not even the heap's. The process's
// end takes everything with it then.
struct StateHolder {
  LibraryState* state = new LibraryState;
  ~StateHolder() {
    if (!plat::ProcessIsExiting()) delete state;
  }
} g_holder;

}  // namespace

std::atomic<bool> g_connectionBroken{false};

LibraryState& State() { return *g_holder.state; }

LibraryState::LibraryState() { plat::SocketsStart(); }

LibraryState::~LibraryState() {
  if (SessionRef s = Current()) s->Abandon();
  SetCurrent(SessionRef());
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
  return settings;
}

// Invalid values mean no limit, and the connection's trace says so.
uint32_t CommandTimeoutFromEnvironment() { return CommandTimeoutSetting(); }

}  // namespace vxb
