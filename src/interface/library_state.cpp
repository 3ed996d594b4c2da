#include "library_state.h"

namespace vxb {
namespace {
LibraryState g_state;
}

LibraryState& State() { return g_state; }

LibraryState::~LibraryState() {
  dispatcher.SetCallHandler(nullptr);
  dispatcher.SetBrokenHandler(nullptr);
  link.CloseData();
  reader.Wait();
  dispatcher.Wait();
}

int LinkObjects() {
  LibraryState& s = State();
  if (s.objectsLinked) return 0;
  s.objectsLinked = true;
  s.reader.SetDispatcher(&s.dispatcher);
  s.reader.SetLink(&s.link);
  s.reader.SetResponseSignal(&s.responseSignal);
  s.dispatcher.SetLink(&s.link);
  return 0;
}

void StartWorkers() {
  LibraryState& s = State();
  s.reader.Wait();
  s.dispatcher.Wait();
  s.commandTimeoutMs.store(CommandTimeoutFromEnvironment());
  s.responseSignal.Reset();
  s.dispatcher.Start();
  s.reader.Start();
}

void ForgetProductVersion() {
  LibraryState& s = State();
  Guard g(s.productVersionLock);
  s.productVersionCache[0] = 0;
  ++s.productVersionEpoch;
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

bool OnWorkerThread() {
  LibraryState& s = State();
  return s.reader.IsCurrentThread() || s.dispatcher.IsCurrentThread();
}

}  // namespace vxb
