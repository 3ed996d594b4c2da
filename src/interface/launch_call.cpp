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

  LibraryState& s = State();
  if (!IsImageRunning(image.c_str())) {
    // A connection left over from an earlier viewer would make every
    // attempt below answer -20; only its socket goes, the rest of a
    // disconnect happens inside the next connect.
    s.link.CloseData();
    // The workers of that connection are let go before the viewer starts:
    // the connect below waits for them anyway, and the old socket is then
    // surely closed, not handed down to the new process.
    s.reader.Wait();
    s.dispatcher.Wait();
    if (!plat::StartProcess(image.c_str())) return VX_E_CANNOT_CREATE_PROCESS;
  }

  bool connected = s.link.DataSocket() != plat::kInvalidSocket;
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
    return VX_E_NOT_ENOUGH_MEMORY;
  }
}

}  // extern "C"
