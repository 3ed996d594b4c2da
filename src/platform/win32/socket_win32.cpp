// IPv4 TCP sockets on Winsock (started at version 1.1).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstring>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {
namespace {

SOCKET Sock(Socket s) { return static_cast<SOCKET>(s); }

// A call on s that a test made fail: reported like a real failure.
bool Injected(Socket s) {
  const int e = TakeInjectedSocketError(s);
  if (e == 0) return false;
  WSASetLastError(e);
  return true;
}

// The probe count option of newer Winsock (ws2ipdef.h); the headers of
// the tool chain do not have it yet.
constexpr int kTcpKeepCount = 16;

}  // namespace

bool SocketsStart() {
  WSADATA data;
  return WSAStartup(0x0101, &data) == 0;
}
void SocketsStop() { WSACleanup(); }

bool LookupByName(const char* name, uint8_t first[4]) {
  if (HostLookupShouldFail()) return false;
  const hostent* h = gethostbyname(name);
  if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr) return false;
  std::memcpy(first, h->h_addr_list[0], 4);
  return true;
}

// A viewer started with handle inheritance on must not receive the host's
// sockets: it would keep a closed connection alive.
static Socket NotInherited(SOCKET s) {
  if (s == INVALID_SOCKET) return kInvalidSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

Socket TcpSocket() { return NotInherited(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

int Connect(Socket s, const uint8_t address[4], uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr, address, 4);
  return connect(Sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int SetNoDelay(Socket s) {
  int one = 1;
  return setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                    sizeof one) == 0
             ? 0
             : -1;
}

int SetBlocking(Socket s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(Sock(s), FIONBIO, &nonBlocking) == 0 ? 0 : -1;
}

int Bind(Socket s, const uint8_t address[4], uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr, address, 4);
  return bind(Sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int Listen(Socket s, int backlog) { return listen(Sock(s), backlog) == 0 ? 0 : -1; }

Socket Accept(Socket listener) {
  sockaddr_in peer{};
  int len = sizeof peer;
  return NotInherited(accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &len));
}

uint16_t LocalPort(Socket s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int SetKeepAlive(Socket s, const KeepAlive& k) {
  tcp_keepalive values{1, k.idleMs, k.intervalMs};
  DWORD returned = 0;
  if (WSAIoctl(Sock(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
               nullptr) != 0) {
    return -1;
  }
  // Older systems (and Wine) refuse the count and keep their own.
  const DWORD probes = k.probes;
  setsockopt(Sock(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes),
             sizeof probes);
  return 0;
}

bool GetKeepAlive(Socket s, KeepAlive* k) {
  *k = KeepAlive{};
  // Some stacks fill only the first byte of the flag.
  DWORD on = 0;
  int len = sizeof on;
  if (getsockopt(Sock(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &len) != 0 ||
      on == 0) {
    return false;
  }
  DWORD probes = 0;
  len = sizeof probes;
  if (getsockopt(Sock(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<char*>(&probes), &len) ==
      0) {
    k->probes = probes;
  }
  return true;
}

int Send(Socket s, const void* data, int len) {
  if (Injected(s)) return -1;
  const auto* p = static_cast<const char*>(data);
  int sent = 0;
  while (sent < len) {
    const int n = send(Sock(s), p + sent, len - sent, 0);
    if (n == SOCKET_ERROR) return -1;
    sent += n;
  }
  return len;
}

namespace {
// A send time limit for the calls on s until the next one is set (0: none).
// After a send timed out Windows leaves the socket's state undefined; the
// caller ends the connection then anyway.
void SetSendLimit(Socket s, DWORD ms) {
  setsockopt(Sock(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}
}  // namespace

int SendParts(Socket s, const SendPart* parts, int count, uint32_t timeoutMs) {
  if (Injected(s)) return -1;
  if (count < 0 || count > kMaxSendParts) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  WSABUF buffers[kMaxSendParts];
  DWORD n = 0;
  uint32_t left = 0;
  for (int i = 0; i < count; ++i) {
    if (parts[i].length == 0) continue;
    buffers[n].buf = static_cast<char*>(const_cast<void*>(parts[i].data));
    buffers[n].len = parts[i].length;
    left += parts[i].length;
    ++n;
  }
  const bool limited = timeoutMs != kInfinite;
  const uint64_t deadline = limited ? MonotonicMs() + timeoutMs : 0;
  DWORD first = 0;
  while (left > 0) {
    if (limited) {
      const uint64_t now = MonotonicMs();
      // SO_SNDTIMEO takes at least 500 ms on some versions; the deadline
      // is checked here as well, so a late return is still a time-out.
      if (now >= deadline) {
        WSASetLastError(WSAETIMEDOUT);
        return -1;
      }
      SetSendLimit(s, static_cast<DWORD>(deadline - now));
    }
    DWORD sent = 0;
    const int rc = WSASend(Sock(s), buffers + first, n - first, &sent, 0, nullptr, nullptr);
    if (limited) SetSendLimit(s, 0);
    if (rc != 0) return -1;
    // A blocking socket sends everything; a short send all the same goes on
    // with the rest.
    left -= sent;
    for (DWORD done = sent; done > 0;) {
      const DWORD step = done < buffers[first].len ? done : buffers[first].len;
      buffers[first].buf += step;
      buffers[first].len -= step;
      done -= step;
      if (buffers[first].len == 0) ++first;
    }
  }
  return 0;
}

int Recv(Socket s, void* data, int len, bool peek) {
  if (Injected(s)) return -1;
  const int n = recv(Sock(s), static_cast<char*>(data), len, peek ? MSG_PEEK : 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool WaitReadable(Socket s, uint32_t timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Sock(s), &set);
  timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}

void ShutdownBoth(Socket s) {
  // A shutdown alone wakes no call blocked on s (neither a recv nor a send
  // to a peer that stopped reading); cancelling the socket's pending I/O
  // does, from any thread (the call fails with ERROR_OPERATION_ABORTED).
  // The shutdown comes first: a call that starts between the two fails at
  // once on the shut socket instead of blocking after the cancel.
  shutdown(Sock(s), SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>(Sock(s)), nullptr);
}

void CloseSocket(Socket s) { closesocket(Sock(s)); }

void CloseSocketAbortive(Socket s) {
  linger l{1, 0};
  setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(Sock(s));
}

int LastSocketError() { return WSAGetLastError(); }

}  // namespace vxb::plat
