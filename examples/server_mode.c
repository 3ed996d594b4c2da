/* Server mode: the host listens and the viewer connects to it. The library
 * answers nothing by itself here: the host takes each call with VxRecvCmd
 * and answers it exactly once, until the viewer goes.
 *
 *   server_mode [port]         listens on every interface, port 27801 by default
 */
/* nanosleep (below) needs the POSIX interfaces, asked for before any header. */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vxbridge.h"

/* sleep_ms(): the one thing the waits below need that standard C lacks. */
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
static void sleep_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void sleep_ms(unsigned ms) {
  struct timespec pause = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

int main(int argc, char **argv) {
  unsigned port = argc > 1 ? (unsigned)atoi(argv[1]) : 27801u;
  VxResult rc = VxConnectAsServer(port, 0);
  if (rc != VX_OK) {
    fprintf(stderr, "cannot listen on port %u: %d\n", port, (int)rc);
    return 1;
  }
  printf("listening on port %u\n", port);
  fflush(stdout);

  /* VxAccept does not block: poll it until the viewer is there (up to 60 s). */
  for (int waited = 0; (rc = VxAccept()) == VX_E_NOT_CONNECTED && waited < 60000; waited += 10)
    sleep_ms(10);
  if (rc != VX_OK) {
    fprintf(stderr, "no viewer: %d\n", (int)rc);
    return 1;
  }

  /* Here the texts are NUL-terminated only while shorter than their field:
   * compare and print them within the field. */
  CallRecord call;
  int answered = 0;
  while (!VxIsConnectionBroken()) {
    if (!VxRecvCmd(&call)) {
      sleep_ms(10);
      continue;
    }
    if (strncmp(call.name, "SYS", sizeof call.name) == 0) {
      rc = VxSendAck(); /* FLUSH or CANCELALL: nothing pending here */
    } else if (strncmp(call.name, "Hello", sizeof call.name) == 0) {
      rc = VxSendRetStrA(0, "hello from the host");
    } else {
      rc = VxSendRetStrA(26, "Unknown command");
    }
    printf("call %.64s(%.512s) answered: %d\n", call.name, call.args, (int)rc);
    if (rc == VX_OK) ++answered;
  }
  VxDisconnect();
  printf("viewer gone after %d answers\n", answered);
  return answered > 0 ? 0 : 1;
}
