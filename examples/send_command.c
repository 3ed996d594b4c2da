/* A command and its answer: connect to the viewer, ask for its version,
 * send a command and print the answer, then send one the viewer refuses and
 * print the viewer's message for its code.
 *
 *   send_command [port]        the viewer on 127.0.0.1, port 27800 by default
 */
#include <stdio.h>
#include <stdlib.h>

#include "vxbridge.h"

/* Prints a result with its message: the library's own for codes of 0 and
 * below, asked of the viewer for its positive codes. */
static void print_result(const char *what, VxResult rc) {
  char *message = NULL;
  if (VxGetErrorStringA("eng", rc, &message) == VX_OK) {
    printf("%s -> %d %s\n", what, (int)rc, message);
    VxFreeA(message); /* every text the library hands out is ours to free */
  } else {
    printf("%s -> %d\n", what, (int)rc);
  }
}

int main(int argc, char **argv) {
  unsigned port = argc > 1 ? (unsigned)atoi(argv[1]) : 27800u;
  VxResult rc = VxConnectA("127.0.0.1", port, 0, NULL, NULL);
  if (rc != VX_OK) {
    print_result("connect", rc);
    return 1;
  }

  char *version = NULL;
  if (VxGetRemoteProductVersionA(&version) == VX_OK && version != NULL) {
    printf("viewer version %s\n", version);
    VxFreeA(version);
  }

  /* The answer's text stays with the library until VxGetLastResponseA
   * copies it out; the next command replaces it. */
  VxResult echo = VxSendCmdA("Echo", "hello");
  char *answer = NULL;
  uint32_t length = 0;
  if (echo == VX_OK && VxGetLastResponseA(&length, &answer) == VX_OK) {
    printf("Echo -> %d %.*s\n", (int)echo, (int)length, answer != NULL ? answer : "");
    VxFreeA(answer);
  } else {
    print_result("Echo", echo);
  }

  /* A positive result is the viewer's own error number. */
  VxResult refused = VxSendCmdA("Teleport", "0,0,5");
  print_result("Teleport", refused);

  VxDisconnect();
  return echo == VX_OK && refused > 0 ? 0 : 1;
}
