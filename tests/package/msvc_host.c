/* A host as Visual Studio would compile it (MSVC mode, 32-bit, only the
 * public header): it takes the address of every export, so that linking it
 * against vxbridge.lib shows which name each one imports. It is never run
 * and needs no C runtime: its entry point is host_main. */
#include "vxbridge.h"

typedef void (*AnyFunction)(void);
static volatile AnyFunction sink; /* volatile: every address is taken */
#define VX(f) sink = (AnyFunction)f;

int host_main(void) {
  VX(VxGetLibVersion) VX(VxSetLanguageA) VX(VxDisconnect) VX(VxGetRemoteProductId)
  VX(VxWaitFor) VX(VxCancelAll) VX(VxConnectA) VX(VxSendCmdA) VX(VxFreeA)
  VX(VxGetErrorStringA) VX(VxGetLastResponseA) VX(VxGetRemoteProductVersionA)
  VX(VxConnectW) VX(VxSendCmdW) VX(VxFreeW) VX(VxGetLastResponseW)
  VX(VxGetRemoteProductVersionW) VX(VxLaunchAndConnect) VX(VxGetErrorMessageA)
  VX(VxSetLanguageW) VX(VxGetPtr) VX(VxGetIUnknown) VX(VxLastVexaErrorMessageA)
  VX(VxConnectAsServer) VX(VxAvailableBytes) VX(VxReadRawPetition) VX(VxAccept)
  VX(VxSendAck) VX(VxSendRetStrA) VX(VxSendRetStrW) VX(VxSendRaw) VX(VxSendRetCmd)
  VX(VxIsConnectionBroken) VX(VxRecvCmd)
  return 0;
}
