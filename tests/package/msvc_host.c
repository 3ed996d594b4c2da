/* A host as Visual Studio would compile it (MSVC mode, 32-bit, only the
 * public header): it calls every export once, so that linking it against
 * vxbridge.lib shows which name each call imports. It is never run, and it
 * needs no C runtime: its entry point is host_main. */
#include "vxbridge.h"

static void VXAPI on_call(const char *name, const char *args, CallAnswer *answer) {
  (void)name;
  (void)args;
  (void)answer;
}
static void VXAPI on_broken(void) {}

/* Static, so that no initialisation needs memset from a C runtime. */
static CallRecord record;
static const VxWChar wide[1];
static char text[8];
static uint32_t u32;
static int32_t i32;
static char *block;
static VxWChar *wide_block;
static const uint8_t *petition;

int host_main(void) {
  VxGetLibVersion(&u32);
  VxGetPtr(0);
  VxGetIUnknown(0);
  VxFreeA(0);
  VxFreeW(0);
  VxConnectA("127.0.0.1", 27800u, 0, on_call, on_broken);
  VxConnectW(wide, 27800u, 0, on_call, on_broken);
  VxDisconnect();
  VxIsConnectionBroken();
  VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 27800u, on_call, on_broken);
  VxSendCmdA("Echo", "x");
  VxSendCmdW(wide, wide);
  VxWaitFor();
  VxCancelAll();
  VxGetLastResponseA(&u32, &block);
  VxGetLastResponseW(&u32, &wide_block);
  VxLastVexaErrorMessageA(text, &i32);
  VxGetRemoteProductId(&i32);
  VxGetRemoteProductVersionA(&block);
  VxGetRemoteProductVersionW(&wide_block);
  VxSetLanguageA("eng");
  VxSetLanguageW(wide);
  VxGetErrorStringA("eng", -1, &block);
  VxGetErrorMessageA("eng", -1, text, &i32);
  VxConnectAsServer(27801u, 0);
  VxAccept();
  VxRecvCmd(&record);
  VxAvailableBytes();
  VxReadRawPetition(&petition, &u32);
  VxSendRetCmd(0, text, 1);
  VxSendRetStrA(0, "OK");
  VxSendRetStrW(0, wide);
  VxSendAck();
  VxSendRaw(text, 1);
  return 0;
}
