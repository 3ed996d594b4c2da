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

// ---- Global memory ---------------------------------------------------------

// A zero-filled block that stays at one address until FreeBlock; on Windows
// a locked GMEM_MOVEABLE|GMEM_ZEROINIT global block (what hosts expect to
// hand back to the library). Null when it cannot be had.
void* AllocBlock(uint32_t size);
// Releases a block from AllocBlock; null is ignored.
void FreeBlock(void* block);

// Fault injection for tests: while set, AllocBlock returns null for every
// request whose size is at least the given threshold (0 = off).
void SetAllocFailureThreshold(uint32_t minSize);

// ---- Mutual exclusion and semaphores --------------------------------------

struct MutexImpl;
struct SemaphoreImpl;

MutexImpl* MutexCreate();
void MutexDestroy(MutexImpl* m);
void MutexEnter(MutexImpl* m);
void MutexLeave(MutexImpl* m);

// Counting semaphore with a maximum count.
SemaphoreImpl* SemaphoreCreate(int32_t initial, int32_t maximum);
void SemaphoreDestroy(SemaphoreImpl* s);
// Waits up to timeoutMs (kInfinite: no limit). True when a count was taken.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
bool SemaphoreWait(SemaphoreImpl* s, uint32_t timeoutMs);
// Adds one count; false (and no effect) when the count is at its maximum.
bool SemaphoreRelease(SemaphoreImpl* s);

// ---- Threads ----------------------------------------------------------------

using ThreadEntry = void (*)(void* arg);
struct ThreadImpl;
// Starts a thread running entry(arg). Null when it cannot be started.
ThreadImpl* ThreadStart(ThreadEntry entry, void* arg);
// Waits for the thread to end and releases its handle.
void ThreadJoin(ThreadImpl* t);
// True when called on the thread t.
bool ThreadIsCurrent(const ThreadImpl* t);
void SleepMs(uint32_t ms);

// ---- Sockets (IPv4 TCP) -----------------------------------------------------

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

// Winsock error numbers used by the transport.
enum SocketError : int {
  kErrNone = 0,
  kErrInterrupted = 10004,   // WSAEINTR
  kErrBadSocket = 10038,     // WSAENOTSOCK
  kErrWouldBlock = 10035,    // WSAEWOULDBLOCK
  kErrInvalid = 10022,       // WSAEINVAL
  kErrAddrInUse = 10048,     // WSAEADDRINUSE
  kErrNetDown = 10050,       // WSAENETDOWN
  kErrNetReset = 10052,      // WSAENETRESET
  kErrConnAborted = 10053,   // WSAECONNABORTED
  kErrConnReset = 10054,     // WSAECONNRESET
  kErrNotConnected = 10057,  // WSAENOTCONN
  kErrShutdown = 10058,      // WSAESHUTDOWN
  kErrTimedOut = 10060,      // WSAETIMEDOUT
  kErrConnRefused = 10061,   // WSAECONNREFUSED
};

// Winsock start-up (version 1.1) and clean-up; no-ops on POSIX.
bool SocketsStart();
void SocketsStop();

// Host lookups; both fill the first IPv4 address of the host entry.
bool LookupByAddress(const uint8_t address[4], uint8_t first[4]);
bool LookupByName(const char* name, uint8_t first[4]);

Socket TcpSocket();
// 0 or -1 (error in LastSocketError).
int Connect(Socket s, const uint8_t address[4], uint16_t port);
int SetNoDelay(Socket s);
int SetBlocking(Socket s, bool blocking);
// Binds to every local interface on port. On POSIX SO_REUSEADDR is set
// first, so a port whose old connections linger in TIME_WAIT can be
// listened on again at once, as on Windows.
int BindAny(Socket s, uint16_t port);
int Listen(Socket s, int backlog);
// kInvalidSocket when nothing could be accepted.
Socket Accept(Socket listener);
// The local port a socket is bound to; 0 when unknown.
uint16_t LocalPort(Socket s);

// Sends all len bytes (looping over partial sends); never raises SIGPIPE.
// Returns len, or -1 with LastSocketError set.
int Send(Socket s, const void* data, int len);
// One receive: count, 0 when the peer closed, -1 with LastSocketError set.
int Recv(Socket s, void* data, int len, bool peek);
// Waits up to timeoutMs for s to become readable (data or end of stream).
bool WaitReadable(Socket s, uint32_t timeoutMs);
// Ends both directions; on POSIX this is what wakes a thread blocked in
// Recv on s.
void ShutdownBoth(Socket s);
// True where closing a socket wakes a thread blocked in Recv on it (Win32).
// Where it does not (POSIX), the close waits until no call uses the socket,
// so that its number is never used after it could have been reused.
bool CloseWakesBlockedReceive();
void CloseSocket(Socket s);
// Closes with a reset (RST) instead of an orderly end; for test peers.
void CloseSocketAbortive(Socket s);
int LastSocketError();
// Test hook: the next LastSocketError reports this number once.
void InjectSocketError(int winsockError);

// ---- Environment and trace output -------------------------------------------

// Copies the process environment variable name into buffer, NUL-terminated.
// False when it is not set, is empty or does not fit. Windows reads the
// process environment block, where a host's own setting is seen at once
// (the C runtime's copy may be another runtime's).
bool GetEnvironmentText(const char* name, char* buffer, uint32_t capacity);

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
