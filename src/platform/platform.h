// The operating-system layer: every call VxBridge makes into the OS goes
// through this header, implemented once in platform/win32/ (the product) and
// once in platform/posix/. Nothing else in the library includes an OS header.
//
// Contract kept by every function here, on both sides:
//  - No exceptions, no logging, no global state beyond what is stated.
//  - Socket errors are reported in Winsock's numbering (LastSocketError),
//    so the transport judges failures the same way everywhere.
//  - Calls interrupted by a signal (POSIX EINTR) are retried inside the
//    layer and never surface.
//  - Handles are opaque integers/pointers; "none" is kInvalidSocket /
//    nullptr as stated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vxb::plat {

// A wait or time limit without end.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// ---- Global memory ---------------------------------------------------------

// A zero-filled block that stays at one address until FreeBlock; on Windows
// a locked GMEM_MOVEABLE|GMEM_ZEROINIT global block (what hosts expect to
// hand back to the library). Null when it cannot be had.
void* AllocBlock(uint32_t size);
// The same kind of block for a caller that writes every byte of it at once:
// POSIX leaves it unfilled, Windows fills it all the same (GlobalAlloc
// keeps the flags hosts rely on).
void* AllocBlockUnfilled(uint32_t size);
// Releases a block from AllocBlock or AllocBlockUnfilled; null is ignored.
void FreeBlock(void* block);

// A block of the library's own (never handed to a host) that begins on a
// page boundary (kPageSize), not filled. Null when it cannot be had.
constexpr uint32_t kPageSize = 4096;
void* AllocPageAligned(uint32_t size);
// Releases a block from AllocPageAligned; null is ignored.
void FreePageAligned(void* block);


// ---- Mutual exclusion -------------------------------------------------------

struct MutexImpl;

// Never null: a process that cannot get the few bytes of a lock cannot go
// on safely, and one that went on without it would fail later in a way
// nobody could trace; it is ended at once with a line on standard error.
MutexImpl* MutexCreate();
void MutexDestroy(MutexImpl* m);
void MutexEnter(MutexImpl* m);
void MutexLeave(MutexImpl* m);

// Condition variable, used with a MutexImpl. CondWait releases m (held by
// the caller), sleeps until signalled or timeoutMs passed (kInfinite: no
// limit), and holds m again on return; false when the time ran out. It may
// also return early: callers wait for a predicate in a loop.
struct CondImpl;
CondImpl* CondCreate();
void CondDestroy(CondImpl* c);
bool CondWait(CondImpl* c, MutexImpl* m, uint32_t timeoutMs);
void CondSignal(CondImpl* c);
void CondBroadcast(CondImpl* c);

// Milliseconds on a clock that only goes forward, for deadlines.
uint64_t MonotonicMs();


// ---- Threads ----------------------------------------------------------------

using ThreadEntry = void (*)(void* arg);
struct ThreadImpl;
// Starts a thread running entry(arg) that ends on its own and releases what
// it holds. While it runs, the module that holds this code stays loaded
// (Win32: the thread holds a reference to it and leaves through
// FreeLibraryAndExitThread; POSIX: the library is linked nodelete). The
// handle lets its end be waited for (ThreadWaitEnded) and must be given up
// with ThreadRelease, which does not wait. Null when it cannot be started.
ThreadImpl* ThreadStart(ThreadEntry entry, void* arg);
// Waits up to timeoutMs for the thread to have ended wholly, its exit work
// done: true when it has. Win32: its handle is signalled (Wine kills a
// process that ends while one of its threads is ending). POSIX: false at
// once, nothing to wait for (the thread is detached; the process's end
// copes with threads on their way out). Never from the thread itself.
bool ThreadWaitEnded(ThreadImpl* t, uint32_t timeoutMs);
// Gives up the handle, from any thread, the thread itself included; the
// thread runs on. Null is ignored.
void ThreadRelease(ThreadImpl* t);
void SleepMs(uint32_t ms);

// Asked by the library's static destructors: true when they run because
// the process ends, false when the library is unloaded from a process that
// goes on. At the process's end other threads, the library's own among
// them, may still run (POSIX) or may have been ended in the middle of
// anything, a lock or the heap's lock held (Windows): the library's state
// must then be left as it is, neither freed nor waited on. Windows tells
// the two apart; on POSIX the library is linked nodelete, so its static
// objects are destroyed only at the process's end: always true.
bool TeardownIsProcessExit();

// For a catch-all on a thread that runs host code: rethrows the exception
// being handled when it is the unwind that ends the thread (with glibc,
// pthread_exit and cancellation unwind the stack; an interpreter that shuts
// down ends its threads that way), which must never be swallowed. Returns
// for every other exception, and at once where threads end without one.
void RethrowThreadExit();

// ---- Thread-local slot --------------------------------------------------------

// One pointer per thread for the library's own bookkeeping, null until the
// thread sets it, with nothing to do when the thread ends (Win32: a TLS
// index; POSIX: thread_local). Unlike the compiler's thread_local under
// MinGW, a thread that ends leaves no work for the runtime's own locks: a
// process that exits while one of the library's threads is ending must not
// find one of them taken.
void* ThreadTagGet();
void ThreadTagSet(void* value);

// One pointer per thread, null until the thread sets it. When a thread that
// set a non-null value ends, onThreadEnd runs on that thread with the
// value. Destroying the slot reports no value (the owner reclaims what is
// still set itself) and no onThreadEnd runs after it returns: a library
// destroys its slots before it is unloaded. Win32: fiber-local storage
// (FlsAlloc); POSIX: a pthread key. Null when no slot can be had.
struct ThreadSlotImpl;
using ThreadEndFn = void (*)(void* value);
ThreadSlotImpl* ThreadSlotCreate(ThreadEndFn onThreadEnd);
void ThreadSlotDestroy(ThreadSlotImpl* slot);
void* ThreadSlotGet(ThreadSlotImpl* slot);
// False when the value could not be stored (the slot keeps its old one).
bool ThreadSlotSet(ThreadSlotImpl* slot, void* value);

// ---- Process environment ------------------------------------------------------

// The environment variable name: -1 when it is unset or empty; otherwise
// the length of its value, which is in buffer, NUL-terminated, only when
// that length is below capacity (a longer value is known to be there, so
// a caller can refuse it rather than take it for unset). Win32 reads the
// process block (GetEnvironmentVariableA), so a value any part of the
// process set at run time is seen.
int32_t EnvironmentValue(const char* name, char* buffer, uint32_t capacity);

// ---- Sockets (IPv4 TCP) -----------------------------------------------------

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// Winsock error numbers used by the transport.
enum SocketError : int {
  kErrNone = 0,
  kErrAborted = 995,         // ERROR_OPERATION_ABORTED: the call was cancelled
  kErrInterrupted = 10004,   // WSAEINTR
  kErrBadSocket = 10038,     // WSAENOTSOCK
  kErrWouldBlock = 10035,    // WSAEWOULDBLOCK
  kErrInProgress = 10036,    // WSAEINPROGRESS
  kErrInvalid = 10022,       // WSAEINVAL
  kErrAddrInUse = 10048,     // WSAEADDRINUSE
  kErrNetDown = 10050,       // WSAENETDOWN
  kErrNetReset = 10052,      // WSAENETRESET
  kErrConnAborted = 10053,   // WSAECONNABORTED
  kErrConnReset = 10054,     // WSAECONNRESET
  kErrNoBuffers = 10055,     // WSAENOBUFS
  kErrNotConnected = 10057,  // WSAENOTCONN
  kErrShutdown = 10058,      // WSAESHUTDOWN
  kErrTimedOut = 10060,      // WSAETIMEDOUT
  kErrConnRefused = 10061,   // WSAECONNREFUSED
};

// Winsock start-up (version 1.1) and clean-up; no-ops on POSIX.
bool SocketsStart();
void SocketsStop();

// Forward lookup of a host name; fills the first IPv4 address found.
bool LookupByName(const char* name, uint8_t first[4]);

Socket TcpSocket();
// 0 or -1 (error in LastSocketError).
int Connect(Socket s, const uint8_t address[4], uint16_t port);
int SetNoDelay(Socket s);
int SetBlocking(Socket s, bool blocking);
// Binds to the local interface with this IPv4 address (0.0.0.0: every
// interface) on port. On POSIX SO_REUSEADDR is set first, so a port whose
// old connections linger in TIME_WAIT can be listened on again at once, as
// on Windows.
int Bind(Socket s, const uint8_t address[4], uint16_t port);
inline int BindAny(Socket s, uint16_t port) {
  const uint8_t any[4] = {0, 0, 0, 0};
  return Bind(s, any, port);
}
int Listen(Socket s, int backlog);
// kInvalidSocket when nothing could be accepted.
Socket Accept(Socket listener);
// The local port a socket is bound to; 0 when unknown.
uint16_t LocalPort(Socket s);

// TCP keep-alive: the first probe after idleMs without traffic, then one
// every intervalMs; after `probes` unanswered ones the connection is gone
// and every call on it fails.
struct KeepAlive {
  uint32_t idleMs = 0;
  uint32_t intervalMs = 0;
  uint32_t probes = 0;
};
// Switches keep-alive on with these times. Windows takes the times through
// SIO_KEEPALIVE_VALS; the probe count only where the system lets it be set
// (TCP_KEEPCNT, Windows 10 1703 on), elsewhere it stays the system's 10.
int SetKeepAlive(Socket s, const KeepAlive& k);
// What the system reports: false when keep-alive is off. Windows cannot
// report the times of SIO_KEEPALIVE_VALS; they read back as 0 there.
bool GetKeepAlive(Socket s, KeepAlive* k);

// Sends all len bytes (looping over partial sends); never raises SIGPIPE.
// Returns len, or -1 with LastSocketError set.
int Send(Socket s, const void* data, int len);
// Sends the parts one after the other in one gather call (sendmsg, WSASend),
// calling again for the rest when the system takes less; at most
// kMaxSendParts parts. Never raises SIGPIPE. Returns 0, or -1 with
// LastSocketError set (some of the bytes may have left). With a timeoutMs
// other than kInfinite it gives up once that time has passed with bytes
// still to send (kErrTimedOut); the stream is then torn and the caller
// must end the connection.
struct SendPart {
  const void* data;
  uint32_t length;
};
constexpr int kMaxSendParts = 4;
int SendParts(Socket s, const SendPart* parts, int count, uint32_t timeoutMs = kInfinite);
// One receive: count, 0 when the peer closed, -1 with LastSocketError set.
int Recv(Socket s, void* data, int len, bool peek);
// Waits up to timeoutMs for s to become readable (data or end of stream).
bool WaitReadable(Socket s, uint32_t timeoutMs);
// Ends both directions and wakes every thread blocked in a call on s, from
// any thread, leaving the socket open: a call made afterwards fails at
// once. Closing it is left to whoever knows no thread uses it any more.
void ShutdownBoth(Socket s);
void CloseSocket(Socket s);
// Closes with a reset (RST) instead of an orderly end; for test peers.
void CloseSocketAbortive(Socket s);
int LastSocketError();

// ---- Trace output -------------------------------------------------------------

// An append-only output for diagnostics. Writes never raise a signal (a
// closed pipe answers false, not SIGPIPE) and are whole or fail.
struct OutputImpl;
// Opens (creating when missing) a file for appending; not inherited by
// child processes. Null when it cannot be opened.
OutputImpl* OutputOpenFile(const char* path);
// The process's standard error as it is at each write. Never null; closing
// it is a no-op.
OutputImpl* OutputStandardError();
bool OutputWrite(OutputImpl* out, const void* data, uint32_t size);
void OutputClose(OutputImpl* out);

}  // namespace vxb::plat

// Registry store, process list and process start (used by install/).
#include "platform_install.h"
