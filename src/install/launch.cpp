// Launch and connect.
#include "../../include/vxbridge.h"

extern "C" {

VxResult VXAPI VxLaunchAndConnect(uint32_t productId, const char* host, uint32_t port,
                                  CallHandler onCall, BrokenHandler onBroken) {
  (void)productId;
  (void)host;
  (void)port;
  (void)onCall;
  (void)onBroken;
  return VX_E_FUNCTION_NOT_FOUND;
}

}  // extern "C"
