#include "library_state.h"

namespace vxb {
namespace {
LibraryState g_state;
}  // namespace

std::atomic<bool> g_connectionBroken{false};

LibraryState& State() { return g_state; }

LibraryState::LibraryState() { plat::SocketsStart(); }

LibraryState::~LibraryState() {
  // A process that ends has ended the session's threads already on Windows,
  // possibly inside a lock: the system closes the sockets; nothing is
  // touched here.
  if (plat::ProcessIsExiting()) {
    current.Leak();
    return;
  }
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
