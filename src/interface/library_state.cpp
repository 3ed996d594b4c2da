#include "library_state.h"

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

uint32_t CommandTimeoutFromEnvironment() {
  char text[16];
  const int32_t n = plat::EnvironmentValue("VXBRIDGE_COMMAND_TIMEOUT_MS", text, sizeof text);
  if (n <= 0 || n >= static_cast<int32_t>(sizeof text)) return plat::kInfinite;
  uint64_t value = 0;
  for (int i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return plat::kInfinite;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  // Fifteen digits cannot overflow; a value no 32-bit wait can express
  // means no limit as well.
  return value == 0 || value >= plat::kInfinite ? plat::kInfinite : static_cast<uint32_t>(value);
}

}  // namespace vxb
