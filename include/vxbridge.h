/*
 * vxbridge.h - the public C interface of VxBridge.
 *
 * VxBridge lets a host program drive the Vexa3D viewer over one TCP
 * connection: connect (or launch the installed viewer and connect), send
 * commands and wait for their answers, receive the viewer's calls back into
 * the host, take the server role, and turn result codes into messages.
 *
 * Results
 *   Almost every function returns a VxResult: 0 on success, -1 .. -20 for the
 *   library's own failures (VX_E_* below), positive values for the viewer's
 *   own error numbers. VxGetErrorStringA / VxGetErrorMessageA turn any code
 *   into a message in English, Spanish or Catalan.
 *
 * Ownership
 *   Every text handed out through an out pointer (VxGetLastResponseA/W,
 *   VxGetRemoteProductVersionA/W, VxGetErrorStringA) is a new block owned by
 *   the caller: release it exactly once with VxFreeA or VxFreeW (they are the
 *   same operation; either may be called from any thread). The single
 *   exception is the petition handed out by VxReadRawPetition: that block
 *   belongs to the library and is overwritten by the next petition. It is
 *   always the same block, taken once for the longest petition there is, so
 *   a pointer to it never dangles while the library is loaded. Never free
 *   it.
 *
 * Threads
 *   - The library keeps one connection at a time per process. Each
 *     connection (a connect, a launch, each viewer accepted) is a session of
 *     its own with two threads of its own, a reader and a dispatcher:
 *     nothing of one connection (a call, an answer, the cached version, the
 *     trace) ever reaches another.
 *   - CallHandler and BrokenHandler run on that connection's dispatcher
 *     thread, one call at a time, in the order the viewer's messages
 *     arrived.
 *   - Command calls (VxSendCmdA/W, VxWaitFor, VxCancelAll,
 *     VxGetRemoteProductId, VxGetRemoteProductVersionA/W, VxSetLanguageA/W,
 *     VxGetErrorStringA/VxGetErrorMessageA with a positive code) may be made
 *     from any number of host threads and from inside the CallHandler, all
 *     at once: none waits for another's answer (VxCancelAll reaches the
 *     viewer while a VxWaitFor waits). Answers carry no reference to their
 *     command; the viewer answers every message in the order it received
 *     them, so the library pairs them by that order alone: the k-th answer
 *     read goes to the k-th message written. Each call gets its own answer
 *     and result code. (A viewer that answers out of order is outside this
 *     contract; the command time-out below is the remedy.)
 *   - VxGetLastResponseA/W and VxLastVexaErrorMessageA give the calling
 *     thread the answer of its own latest command call; a thread that has
 *     made none reads the latest answer of the process (a handler's
 *     included).
 *   - Command time-out: when the environment variable
 *     VXBRIDGE_COMMAND_TIMEOUT_MS holds a whole number of milliseconds above
 *     0 as a connection starts (VxConnectA/W, VxLaunchAndConnect, VxAccept),
 *     a command call that is not answered within that time from its start
 *     returns -6 (never earlier). Each thread's messages are written on its
 *     own time: a command that could not even begin to leave in time (the
 *     messages before it were still being written) is taken back and fails
 *     alone, the connection untouched. The connection is closed (the
 *     BrokenHandler runs once) when the answer does not come in time (it
 *     could otherwise be taken by the next command), when a message is
 *     torn by its time-out, or when an answer to the viewer cannot leave in
 *     time. The same limit bounds the sending of answers and raw bytes.
 *     Unset or 0: no limit; any other value (a sign, a blank, a unit) is
 *     ignored the same way and noted in the connection's wire trace.
 *   - VxConnectA/W, VxConnectAsServer, VxAccept, VxDisconnect and
 *     VxLaunchAndConnect must not be called from inside a handler: there
 *     they refuse with -1, before any other check (VxDisconnect: while
 *     connected; once the connection is gone it returns 0 there too).
 *   - VxDisconnect on a connection that is up returns only once no handler
 *     of it runs or will run: the CallHandler that runs has returned, its
 *     answer is on the wire (within 2 s of its return: a viewer that does
 *     not read by then loses it), and the BrokenHandler has run. A host may
 *     free what its handlers use as soon as VxDisconnect returns. The same
 *     holds when VxAccept, VxConnectAsServer or a launch end a connection.
 *     So a handler must never wait for a thread that may be inside
 *     VxDisconnect (a GUI thread, say): it posts its work there instead
 *     (PostMessage, TThread.Queue, BeginInvoke) and returns. After a
 *     connection was lost on its own, VxDisconnect has nothing to close and
 *     returns at once, and a new connect does not wait for the lost
 *     connection's BrokenHandler either.
 *   - A connect or accept whose threads cannot be started (no address space
 *     left for their stacks) fails with -11: the socket is closed, nothing
 *     is left running, no handler is called.
 *   - Calls of the viewer the host has not taken yet (queued for the
 *     CallHandler, or kept for VxRecvCmd) are held up to 64 MiB. A viewer
 *     that sends more than that faster than the host takes them ends the
 *     connection: a waiting command returns -6 and the BrokenHandler runs
 *     once, after the call that is running. In client mode the calls kept
 *     for VxRecvCmd outlive their connection, in one queue in arrival order;
 *     in server mode those of a viewer that has gone go with it.
 *   - VxIsConnectionBroken reports each connection that ended after it was
 *     up, once: the flag is raised after the connection's BrokenHandler has
 *     run (also after VxDisconnect, before it returns).
 *   - A handler whose thread is ended by a forced unwind (pthread_exit, as
 *     an interpreter does to its threads when it shuts down) ends the
 *     connection: waiting commands return -6, VxIsConnectionBroken reports
 *     it, the BrokenHandler does not run (its thread is gone), and
 *     VxDisconnect and the next connect work as usual.
 *   - Call VxDisconnect before unloading the library explicitly. A host
 *     that ends its process while connected (also while a handler runs)
 *     ends cleanly: the library closes the connection at unload without
 *     calling the handlers again. On Windows each of the library's threads
 *     holds a reference to the DLL until it ends, so a FreeLibrary leaves
 *     it loaded until then; on Linux the library stays loaded once loaded
 *     (dlclose leaves it in place), so a viewer started by
 *     VxLaunchAndConnect may end at any time later.
 *
 * Text
 *   A-functions take and return NUL-terminated single-byte text; the
 *   library's own messages are Windows-1252. W-functions take and return
 *   NUL-terminated UTF-16 (VxWChar). Input units are narrowed to their low
 *   byte; output bytes are widened by sign extension (0xE9 -> 0xFFE9), so
 *   narrowing a widened text always gives back the same bytes.
 *
 * Wire trace
 *   With VXBRIDGE_TRACE set to "stderr" (or 1, true, yes, on) or to a file
 *   path when a connection opens (connect or accept), every frame sent and
 *   received on it is written one line each, with the connection's events
 *   and the settings it could not take; 0, false, off and no (any letter
 *   case) leave it off.
 *   A sink that cannot be opened or written never affects the connection,
 *   and a standard error that is a network socket is never written to.
 *
 * Null arguments
 *   Out pointers are written without a null test unless said otherwise; the
 *   functions below that document a null behaviour keep it.
 */
#ifndef VXBRIDGE_H
#define VXBRIDGE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VXAPI __stdcall
#else
#define VXAPI
#endif

#if defined(_WIN32)
#if defined(VXBRIDGE_BUILDING)
#define VXBRIDGE_EXPORT
#else
#define VXBRIDGE_EXPORT __declspec(dllimport)
#endif
#else
#define VXBRIDGE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every function that reports an outcome. */
typedef int32_t VxResult;

/* 16-bit text unit of the W functions: UTF-16 on every platform. */
#if defined(_WIN32)
typedef wchar_t VxWChar;
#elif defined(__cplusplus)
typedef char16_t VxWChar;
#else
typedef uint_least16_t VxWChar;
#endif

/* The library's own result codes. */
#define VX_OK 0
#define VX_E_INVALID_PARAMETER (-1)
#define VX_E_INVALID_ID (-2)
#define VX_E_NOT_CONNECTED (-3)
#define VX_E_UNSUPPORTED_MODE (-4)
#define VX_E_HOST_NOT_FOUND (-5)
#define VX_E_COMMUNICATION_BROKEN (-6)
#define VX_E_UNSUPPORTED_LANGUAGE (-7)
#define VX_E_BUFFER_TOO_SMALL (-8)
#define VX_E_BUFFER_TOO_BIG (-9)
#define VX_E_INVALID_RESPONSE (-10)
#define VX_E_NOT_ENOUGH_MEMORY (-11)
#define VX_E_CANNOT_FREE (-12)
#define VX_E_FUNCTION_NOT_FOUND (-13)
#define VX_E_NOT_INSTALLED (-14)
#define VX_E_INVALID_COMMAND (-15)
#define VX_E_UNKNOWN_PRODUCT (-16)
#define VX_E_CANNOT_CREATE_PROCESS (-17)
#define VX_E_INVALID_URL (-18)
#define VX_E_NO_DATA (-19)
#define VX_E_ALREADY_CONNECTED (-20)

/* Version that VxGetLibVersion reports (1.0.0.0). */
#define VX_LIB_VERSION 0x01000000u

/* Product ids known to VxLaunchAndConnect. */
#define VX_PRODUCT_AMBER 1001u
#define VX_PRODUCT_COBALT 1002u

/* The answer a CallHandler fills: preset to code 0 and text "OK". The text
 * must end with a NUL within its 64 bytes; a text without one is sent as
 * its first 64 bytes. */
typedef struct CallAnswer {
  int32_t code;     /* result sent back to the viewer */
  int32_t reserved; /* 0; never read by the library */
  char text[64];    /* NUL-terminated answer text */
} CallAnswer;

/* One incoming call taken with VxRecvCmd. Texts longer than a field are cut
 * to the field. Bytes after each text are 0 in server mode (NUL-terminated
 * while shorter than the field) and spaces (0x20) in client mode (no
 * terminator). */
typedef struct CallRecord {
  char name[64];  /* the call's name; "SYS" for a system call */
  char args[512]; /* the call's argument text */
} CallRecord;

/* Called on the dispatcher thread for each call of the viewer; whatever the
 * handler leaves in *answer is sent back to the viewer. */
typedef void(VXAPI *CallHandler)(const char *name, const char *args, CallAnswer *answer);

/* Called once on the connection's dispatcher thread when the connection has
 * ended, also by VxDisconnect (which returns after it). */
typedef void(VXAPI *BrokenHandler)(void);

/* ---- Library ---------------------------------------------------------- */

/* Writes 0x01000000. A null pointer is ignored. Always returns 0. */
VXBRIDGE_EXPORT VxResult VXAPI VxGetLibVersion(uint32_t *version);
/* Returns its argument unchanged. */
VXBRIDGE_EXPORT int32_t VXAPI VxGetPtr(int32_t value);
/* Adds one reference to a COM object (calls entry 1 of its function table
 * with the object as the only argument) and returns the object. Null is
 * returned unchanged without a call. */
VXBRIDGE_EXPORT void *VXAPI VxGetIUnknown(void *object);
/* Release a block handed out by the library. Null is ignored. Always 0. */
VXBRIDGE_EXPORT VxResult VXAPI VxFreeA(void *block);
VXBRIDGE_EXPORT VxResult VXAPI VxFreeW(void *block);

/* ---- Client connection ------------------------------------------------ */

/* Connects to a viewer listening on host:port (host: dotted IPv4 address,
 * used without a lookup, or name; mode must be 0) and starts the reader and
 * dispatcher threads. Either handler may be null. -1 from inside a handler
 * (checked first), -20 while connected, -1 for a mode other than 0, -5 when
 * the host is not found or refuses, -11 without memory or when its threads
 * cannot be started, -1 for a null host. A listening socket left from
 * server mode is closed. */
VXBRIDGE_EXPORT VxResult VXAPI VxConnectA(const char *host, uint32_t port, int32_t mode,
                                          CallHandler onCall, BrokenHandler onBroken);
/* As VxConnectA; -11 for a null host or when the host cannot be converted. */
VXBRIDGE_EXPORT VxResult VXAPI VxConnectW(const VxWChar *host, uint32_t port, int32_t mode,
                                          CallHandler onCall, BrokenHandler onBroken);
/* Ends the connection: waiting commands return -6, and returns once the
 * CallHandler that runs has returned, its answer has left (within 2 s),
 * the BrokenHandler has run and, on Windows, the connection's threads have
 * ended (up to 5 s more); the socket is closed. 0 also when not
 * connected (after a lost connection: at once, even while its
 * BrokenHandler runs); -1 from inside a handler while connected. */
VXBRIDGE_EXPORT VxResult VXAPI VxDisconnect(void);
/* True once after a connection ended (lost, or ended by the host) and its
 * BrokenHandler has run, then false. */
VXBRIDGE_EXPORT uint8_t VXAPI VxIsConnectionBroken(void);
/* Finds the installed edition of productId (1001 Amber, 1002 Cobalt),
 * starts it unless it runs already, and connects with up to six attempts
 * 1000 ms apart. -16 unknown product, -14 not installed, -17 the viewer
 * could not be started, else the last VxConnectA result. */
VXBRIDGE_EXPORT VxResult VXAPI VxLaunchAndConnect(uint32_t productId, const char *host,
                                                  uint32_t port, CallHandler onCall,
                                                  BrokenHandler onBroken);

/* ---- Commands --------------------------------------------------------- */

/* Sends "EXE command(arguments)" and waits for the viewer's answer. Returns
 * 0, the viewer's positive code, -3 not connected, -6 when the connection
 * broke (also while waiting, or not sent and answered within the command
 * time-out), -10 for a malformed answer, -1 for a null command or
 * arguments. */
VXBRIDGE_EXPORT VxResult VXAPI VxSendCmdA(const char *command, const char *arguments);
VXBRIDGE_EXPORT VxResult VXAPI VxSendCmdW(const VxWChar *command, const VxWChar *arguments);
/* Sends the system command FLUSH / CANCELALL and waits for the answer. */
VXBRIDGE_EXPORT VxResult VXAPI VxWaitFor(void);
VXBRIDGE_EXPORT VxResult VXAPI VxCancelAll(void);
/* Copies the latest answer text (of the calling thread's latest command;
 * of the process's when the thread has sent none) into a new block (null
 * and length 0 when there is none). The W form widens each byte; *length
 * counts characters. */
VXBRIDGE_EXPORT VxResult VXAPI VxGetLastResponseA(uint32_t *length, char **text);
VXBRIDGE_EXPORT VxResult VXAPI VxGetLastResponseW(uint32_t *length, VxWChar **text);
/* Copies the latest answer into buffer (at most *size bytes, NUL-terminated
 * only when shorter) and writes the count to *size. A size of 0 copies
 * nothing and returns 0 (buffer may then be null). A null size, a negative
 * size, or a null buffer with a positive size: nothing is written, result
 * -1. */
VXBRIDGE_EXPORT VxResult VXAPI VxLastVexaErrorMessageA(char *buffer, int32_t *size);
/* Asks the viewer for its product id (0 when it does not answer). */
VXBRIDGE_EXPORT VxResult VXAPI VxGetRemoteProductId(int32_t *id);
/* The viewer's product version text (asked once per connection: a new
 * connection or accepted viewer is asked again; at most 511 characters). */
VXBRIDGE_EXPORT VxResult VXAPI VxGetRemoteProductVersionA(char **text);
VXBRIDGE_EXPORT VxResult VXAPI VxGetRemoteProductVersionW(VxWChar **text);
/* Sets the viewer's language: "eng", "spa" or "cat". -7 for null or a code
 * that is not three characters long. */
VXBRIDGE_EXPORT VxResult VXAPI VxSetLanguageA(const char *code);
VXBRIDGE_EXPORT VxResult VXAPI VxSetLanguageW(const VxWChar *code);

/* ---- Messages --------------------------------------------------------- */

/* Message of a result code in a new block. language: "eng", "spa" or "cat"
 * (anything else, null included, means English). Codes 0 .. -20 are the
 * library's; positive codes are asked of the viewer; others give -1. */
VXBRIDGE_EXPORT VxResult VXAPI VxGetErrorStringA(const char *language, int32_t code, char **text);
/* As VxGetErrorStringA, copied into buffer (at most *size bytes,
 * NUL-terminated only when shorter; *size receives the count). A size of 0
 * copies nothing and returns the lookup's result (buffer may then be null).
 * A null size, a negative size, or a null buffer with a positive size:
 * nothing is written, result -1. */
VXBRIDGE_EXPORT VxResult VXAPI VxGetErrorMessageA(const char *language, int32_t code,
                                                  char *buffer, int32_t *size);

/* ---- Server mode ------------------------------------------------------ */

/* Listens on port (every interface, or only the one whose dotted IPv4
 * address the environment variable VXBRIDGE_LISTEN_ADDRESS holds); mode must
 * be 0. -1 for another mode or an invalid VXBRIDGE_LISTEN_ADDRESS, -5 when
 * the port cannot be bound. */
VXBRIDGE_EXPORT VxResult VXAPI VxConnectAsServer(uint32_t port, int32_t mode);
/* Ends the connection of the viewer attached so far (its calls not yet
 * answered are dropped with it), then accepts a waiting viewer without
 * blocking: -1 from inside a handler (checked first), -5 not listening, -3
 * nobody waiting, -11 when its threads cannot be started. Poll it until it
 * returns 0. */
VXBRIDGE_EXPORT VxResult VXAPI VxAccept(void);
/* Takes the oldest pending call of the viewer into *record; false when none
 * (or record is null). One queue for the process, in arrival order: in
 * client mode the calls of a connection outlive it; in server mode the
 * calls of a viewer that has gone go with it. */
VXBRIDGE_EXPORT uint8_t VXAPI VxRecvCmd(CallRecord *record);
/* Size of the waiting raw petition; 0 none; -1 not connected. */
VXBRIDGE_EXPORT int32_t VXAPI VxAvailableBytes(void);
/* Hands out the waiting petition (library-owned, the same block every time,
 * overwritten by the next petition: do not free). -19 none, -1 for a null
 * pointer. */
VXBRIDGE_EXPORT VxResult VXAPI VxReadRawPetition(const uint8_t **data, uint32_t *size);
/* Answers the viewer's call. Each answer belongs to the oldest call the
 * host took (VxRecvCmd, VxAvailableBytes) and has not answered yet: when
 * that call's viewer has gone, nothing is sent and the result is -3 (it
 * would reach the next viewer as the answer to a call it never made); with
 * no call owed, the answer is sent as asked. -3 not connected, -6 broken,
 * -1 for a null data pointer with a positive length or a negative length. */
VXBRIDGE_EXPORT VxResult VXAPI VxSendRetCmd(int32_t code, const void *data, int32_t length);
VXBRIDGE_EXPORT VxResult VXAPI VxSendRetStrA(int32_t code, const char *text);
VXBRIDGE_EXPORT VxResult VXAPI VxSendRetStrW(int32_t code, const VxWChar *text);
/* Answers "OK_ACK" with code 0. */
VXBRIDGE_EXPORT VxResult VXAPI VxSendAck(void);
/* Sends bytes as they are, without framing. -1 for null data with a
 * positive length. The library does not look into them: a whole EXE or
 * SYS message among them is answered by the viewer like any other, and as
 * the library counts no command for it, that answer goes to the oldest
 * command waiting (or the next one sent) and every later answer shifts by
 * one. In client mode send commands with VxSendCmdA. */
VXBRIDGE_EXPORT VxResult VXAPI VxSendRaw(const void *data, uint32_t length);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The host fills these records, so their layout is part of the interface. */
#ifdef __cplusplus
static_assert(sizeof(CallAnswer) == 72, "CallAnswer is 72 bytes");
static_assert(offsetof(CallAnswer, code) == 0, "CallAnswer.code at 0");
static_assert(offsetof(CallAnswer, reserved) == 4, "CallAnswer.reserved at 4");
static_assert(offsetof(CallAnswer, text) == 8, "CallAnswer.text at 8");
static_assert(sizeof(CallRecord) == 576, "CallRecord is 576 bytes");
static_assert(offsetof(CallRecord, name) == 0, "CallRecord.name at 0");
static_assert(offsetof(CallRecord, args) == 64, "CallRecord.args at 64");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(CallAnswer) == 72, "CallAnswer is 72 bytes");
_Static_assert(offsetof(CallAnswer, text) == 8, "CallAnswer.text at 8");
_Static_assert(sizeof(CallRecord) == 576, "CallRecord is 576 bytes");
_Static_assert(offsetof(CallRecord, args) == 64, "CallRecord.args at 64");
#endif

#endif /* VXBRIDGE_H */
