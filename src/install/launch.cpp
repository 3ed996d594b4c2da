// Launch and connect: find the installed edition of a product, start its
// viewer unless it already runs, and connect to it while it comes up.
#include "../../include/vxbridge.h"
#include "../interface/library_state.h"
#include "../platform/platform.h"
#include "install_registry.h"
#include "running_probe.h"

namespace vxb {

namespace {

// A freshly started viewer needs a moment before it listens.
constexpr int kMaxConnectAttempts = 6;
constexpr uint32_t kRetryPauseMs = 1000;

VxResult LaunchAndConnect(uint32_t productId, const char* host, uint32_t port,
                          CallHandler onCall, BrokenHandler onBroken) {
  // From a handler every connect would wait for the thread it runs on.
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  InstallRecord wanted;
  switch (productId) {
    case VX_PRODUCT_AMBER:
      wanted.appName = "Amber";
      break;
    case VX_PRODUCT_COBALT:
      wanted.appName = "Cobalt";
      break;
    default:
      // Before the registry is read, so nothing there is touched.
      return VX_E_UNKNOWN_PRODUCT;
  }

  InstallSet installations;
  CollectInstallations(installations);
  // The first record of the edition in set order: its lowest version.
  if (!FindInstallation(installations, wanted, SameEdition)) return VX_E_NOT_INSTALLED;

  SocketLink& link = State().link;
  if (!IsImageRunning(wanted.path.c_str())) {
    // A connection left over from an earlier viewer would make every
    // attempt below answer -20; only its socket goes, the rest of a
    // disconnect happens inside the next connect.
    link.CloseData();
    // The workers of that connection are let go before the viewer starts:
    // the connect below waits for them anyway, and the old socket is then
    // surely closed, not handed down to the new process.
    State().reader.Wait();
    State().dispatcher.Wait();
    if (!plat::StartProcess(wanted.path.c_str())) return VX_E_CANNOT_CREATE_PROCESS;
  }

  bool connected = link.DataSocket() != plat::kInvalidSocket;
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
