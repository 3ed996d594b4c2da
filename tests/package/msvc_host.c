/* A host from the other tool chain: compiled in MSVC mode and linked by
 * lld-link against the release archive's vxbridge.lib, without a C runtime
 * (entry point host_main, output through WriteFile). Given vxsim's port
 * last on its command line, it sends a command, answers the viewer's calls
 * on a VXAPI handler that the library runs on its own thread, and
 * disconnects: caller and DLL must agree on __stdcall both ways, on the
 * records and on who frees what. */
#include "vxbridge.h"
#include "every_export.h" /* made by check_msvc_import.cmake */

__declspec(dllimport) void *__stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, uint32_t size, uint32_t *written,
                                              void *overlapped);
__declspec(dllimport) const char *__stdcall GetCommandLineA(void);
__declspec(dllimport) void __stdcall Sleep(uint32_t ms);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(uint32_t code);

typedef void (*AnyFunction)(void);
static volatile AnyFunction sink;
static int bye_called, connection_ended;

static void put(const char *text, uint32_t length) { /* up to length bytes or the NUL */
  uint32_t n = 0, written;
  while (n < length && text[n] != '\0') ++n;
  WriteFile(GetStdHandle((uint32_t)-11), text, n, &written, 0);
}

/* Appends text to line at *n (room for 255 bytes and a NUL). */
static void add(char *line, uint32_t *n, const char *text) {
  while (*text != '\0' && *n < 255) line[(*n)++] = *text++;
  line[*n] = '\0';
}

static void VXAPI on_call(const char *name, const char *args, CallAnswer *answer) {
  /* One write for the whole line: the main thread writes meanwhile. */
  char line[256];
  uint32_t length = 0;
  add(line, &length, "viewer calls "), add(line, &length, name), add(line, &length, "(");
  add(line, &length, args), add(line, &length, ")\n");
  put(line, length);
  if (name[0] == 'B') __atomic_store_n(&bye_called, 1, __ATOMIC_SEQ_CST);
  int n = 5; /* "seen " and the arguments */
  for (int i = 0; i < n; ++i) answer->text[i] = "seen "[i];
  for (int i = 0; args[i] != '\0' && n < 63; ++i) answer->text[n++] = args[i];
  answer->text[n] = '\0';
}

static void VXAPI on_broken(void) { __atomic_store_n(&connection_ended, 1, __ATOMIC_SEQ_CST); }

void host_main(void) {
  TAKE_EVERY_EXPORT(sink);
  const char *p = GetCommandLineA(), *last = p;
  for (; *p != '\0'; ++p) last = *p == ' ' ? p + 1 : last;
  uint32_t port = 0;
  for (; *last >= '0' && *last <= '9'; ++last) port = port * 10 + (uint32_t)(*last - '0');
  if (VxConnectA("127.0.0.1", port, 0, on_call, on_broken) != VX_OK) ExitProcess(2);

  char *answer = 0;
  uint32_t length = 0;
  if (VxSendCmdA("Echo", "hello") != VX_OK || VxGetLastResponseA(&length, &answer) != VX_OK) ExitProcess(3);
  char line[256];
  uint32_t n = 0;
  add(line, &n, "Echo -> 0 "), add(line, &n, answer), add(line, &n, "\n");
  put(line, n);
  VxFreeA(answer);
  for (int waited = 0; waited < 30000 && !__atomic_load_n(&bye_called, __ATOMIC_SEQ_CST); waited += 10) Sleep(10);
  /* Returns once the handlers are done (on_broken has run) and the
     connection's threads have ended: the process may end at once. */
  VxDisconnect();
  const int ok = bye_called && connection_ended;
  put(ok ? "Bye received, connection ended: yes\n" : "no Bye, or no end\n", ~0u);
  ExitProcess(ok ? 0 : 1);
}
