/* The viewer's calls on a CallHandler: the library runs the handler on its
 * dispatcher thread, one call at a time, and sends back whatever the handler
 * leaves in *answer. The host's own thread meanwhile goes on with its work;
 * here it waits until the viewer calls Bye or the connection ends.
 *
 *   call_handler [port]        the viewer on 127.0.0.1, port 27800 by default
 */
/* nanosleep (below) needs the POSIX interfaces, asked for before any header. */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdatomic.h>
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

static atomic_int bye_called;
static atomic_int connection_ended;

static void VXAPI on_call(const char *name, const char *args, CallAnswer *answer) {
  /* *answer arrives preset to code 0 and "OK"; its text must end with a NUL
   * within its 64 bytes. */
  printf("viewer calls %s(%s)\n", name, args);
  fflush(stdout);
  if (strcmp(name, "Notify") == 0) {
    snprintf(answer->text, sizeof answer->text, "seen %.50s", args);
  } else if (strcmp(name, "Bye") == 0) {
    atomic_store(&bye_called, 1);
  } else {
    answer->code = 26; /* the viewer's own code for an unknown command */
    strcpy(answer->text, "Unknown command");
  }
}

static void VXAPI on_broken(void) { atomic_store(&connection_ended, 1); }

int main(int argc, char **argv) {
  unsigned port = argc > 1 ? (unsigned)atoi(argv[1]) : 27800u;
  VxResult rc = VxConnectA("127.0.0.1", port, 0, on_call, on_broken);
  if (rc != VX_OK) {
    fprintf(stderr, "connect: %d\n", (int)rc);
    return 1;
  }
  /* Commands may go out meanwhile, from this thread or from the handler. */
  rc = VxSendCmdA("LoadScene", "'demo.v3d'");
  printf("LoadScene -> %d\n", (int)rc);

  /* Wait up to 30 s for the viewer's Bye. */
  for (int waited = 0; waited < 30000 && !atomic_load(&bye_called); waited += 10) {
    if (atomic_load(&connection_ended)) break;
    sleep_ms(10);
  }
  int bye = atomic_load(&bye_called);
  VxDisconnect(); /* returns once the handlers are done: on_broken has run */
  printf("%s, connection ended: %s\n", bye ? "Bye received" : "no Bye",
         atomic_load(&connection_ended) ? "yes" : "no");
  return rc == VX_OK && bye ? 0 : 1;
}
