/* Polling for the viewer's calls: connected without a CallHandler, the
 * library answers each call of the viewer at once with code 0 and "OK" and
 * keeps it; the host takes the calls with VxRecvCmd when it suits it, here
 * in its idle loop, until the viewer calls Bye.
 *
 *   poll_calls [port]          the viewer on 127.0.0.1, port 27800 by default
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

/* In client mode the record's texts are padded with blanks and carry no
 * NUL: this gives the length without the padding. */
static int text_length(const char *field, int size) {
  while (size > 0 && (field[size - 1] == ' ' || field[size - 1] == '\0')) --size;
  return size;
}

int main(int argc, char **argv) {
  unsigned port = argc > 1 ? (unsigned)atoi(argv[1]) : 27800u;
  VxResult rc = VxConnectA("127.0.0.1", port, 0, NULL, NULL);
  if (rc != VX_OK) {
    fprintf(stderr, "connect: %d\n", (int)rc);
    return 1;
  }

  CallRecord call; /* 576 bytes: keep it off small stacks in real hosts */
  int calls = 0, bye = 0;
  /* Up to 30 s of idle time for the viewer's Bye. */
  for (int idle = 0; !bye && idle < 30000;) {
    if (!VxRecvCmd(&call)) {
      if (VxIsConnectionBroken()) break;
      sleep_ms(10);
      idle += 10;
      continue;
    }
    int name = text_length(call.name, (int)sizeof call.name);
    int args = text_length(call.args, (int)sizeof call.args);
    printf("call %.*s(%.*s)\n", name, call.name, args, call.args);
    ++calls;
    bye = name == 3 && memcmp(call.name, "Bye", 3) == 0;
  }
  VxDisconnect();
  printf("%d calls taken%s\n", calls, bye ? ", the last was Bye" : ", no Bye");
  return bye ? 0 : 1;
}
