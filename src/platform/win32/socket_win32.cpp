// IPv4 TCP sockets on Winsock (started at version 1.1).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "../platform.h"

namespace vxb::plat {
namespace {
thread_local int t_injected = 0;
SOCKET Sock(Socket s) { return static_cast<SOCKET>(s); }
}  // namespace

bool SocketsStart() {
  WSADATA data;
  return WSAStartup(0x0101, &data) == 0;
}
void SocketsStop() { WSACleanup(); }

bool LookupByAddress(const uint8_t address[4], uint8_t first[4]) {
  const hostent* h = gethostbyaddr(reinterpret_cast<const char*>(address), 4, AF_INET);
  if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr) return false;
  std::memcpy(first, h->h_addr_list[0], 4);
  return true;
}

bool LookupByName(const char* name, uint8_t first[4]) {
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

int BindAny(Socket s, uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
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

int Send(Socket s, const void* data, int len) {
  const auto* p = static_cast<const char*>(data);
  int sent = 0;
  while (sent < len) {
    const int n = send(Sock(s), p + sent, len - sent, 0);
    if (n == SOCKET_ERROR) return -1;
    sent += n;
  }
  return len;
}

int Recv(Socket s, void* data, int len, bool peek) {
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
  // A send blocked on a peer that stopped reading is not always woken by the
  // close that follows (Wine keeps it blocked); cancelling the socket's
  // pending I/O wakes every call on it, from any thread.
  CancelIoEx(reinterpret_cast<HANDLE>(Sock(s)), nullptr);
  shutdown(Sock(s), SD_BOTH);
}

bool CloseWakesBlockedReceive() { return true; }

void CloseSocket(Socket s) { closesocket(Sock(s)); }

void CloseSocketAbortive(Socket s) {
  linger l{1, 0};
  setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(Sock(s));
}

int LastSocketError() {
  if (t_injected != 0) {
    const int e = t_injected;
    t_injected = 0;
    return e;
  }
  return WSAGetLastError();
}

void InjectSocketError(int winsockError) { t_injected = winsockError; }

}  // namespace vxb::plat
