// VxLaunchAndConnect: find the installed edition of a product, start its
// viewer unless it already runs, and connect to it while it comes up.
#include <string>

#include "vxbridge.h"
#include "install/install_registry.h"
#include "install/running_probe.h"
#include "library_state.h"
#include "platform/platform.h"

namespace vxb {

namespace {

// A freshly started viewer needs a moment before it listens.
constexpr int kMaxConnectAttempts = 6;
constexpr uint32_t kRetryPauseMs = 1000;

// The edition name a product is installed under; null for an unknown product.
const char* EditionName(uint32_t productId) {
  switch (productId) {
    case VX_PRODUCT_AMBER:
      return "Amber";
    case VX_PRODUCT_COBALT:
      return "Cobalt";
    default:
      return nullptr;
  }
}

VxResult LaunchAndConnect(uint32_t productId, const char* host, uint32_t port,
                          CallHandler onCall, BrokenHandler onBroken) {
  // From a handler every connect would wait for the thread it runs on.
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  const char* edition = EditionName(productId);
  // Before the registry is read, so nothing there is touched.
  if (edition == nullptr) return VX_E_UNKNOWN_PRODUCT;
  std::string image;
  if (!FindEditionImage(edition, image)) return VX_E_NOT_INSTALLED;

  if (!IsImageRunning(image.c_str())) {
    // A connection left over from an earlier viewer would make every
    // attempt below answer -20: it ends first, and its socket is then
    // surely shut, not handed down to the new process.
    if (const SessionRef old = State().Current()) {
      Guard one(State().connectLock);
      old->Close();
    }
    if (!plat::StartProcess(image.c_str())) return VX_E_CANNOT_CREATE_PROCESS;
  }

  bool connected = State().Connected();
  VxResult result = VX_OK;
  int attempts = 0;
  while (!connected && attempts < kMaxConnectAttempts) {
    ++attempts;
    result = VxConnectA(host, port, 0, onCall, onBroken);
    connected = result == VX_OK;
    // The pause follows the last failed attempt too: a call that never
    // connects takes at least six seconds, and hosts may rely on that.
    if (!connected) plat::SleepMs(kRetryPauseMs);
  }
  return result;
}

}  // namespace

}  // namespace vxb

extern "C" {

VxResult VXAPI VxLaunchAndConnect(uint32_t productId, const char* host, uint32_t port,
                                  CallHandler onCall, BrokenHandler onBroken) {
  // The records and the set allocate; nothing may escape into the host.
  try {
    return vxb::LaunchAndConnect(productId, host, port, onCall, onBroken);
  } catch (...) {
    // A forced unwind ending the host's thread passes on.
    vxb::plat::RethrowThreadExit();
    return VX_E_NOT_ENOUGH_MEMORY;
  }
}

}  // extern "C"
