// IPv4 TCP sockets on POSIX, reporting errors in Winsock's numbering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "winsock_errors.h"

namespace vxb::plat {

// errno -> Winsock number. The five errors the transport treats as a broken
// link keep their Winsock meaning; EPIPE (send on a connection the peer has
// ended) is the POSIX face of a shut-down link.
int WinsockErrorOf(int e) {
  switch (e) {
    case 0: return kErrNone;
    case ECONNRESET: return kErrConnReset;
    case ENETDOWN: return kErrNetDown;
    case ENETRESET: return kErrNetReset;
    case ESHUTDOWN: return kErrShutdown;
    case EPIPE: return kErrShutdown;
    case ETIMEDOUT: return kErrTimedOut;
    case EINTR: return kErrInterrupted;
    case EAGAIN: return kErrWouldBlock;
    case EBADF: return kErrBadSocket;
    case ENOTSOCK: return kErrBadSocket;
    case EINVAL: return kErrInvalid;
    case EADDRINUSE: return kErrAddrInUse;
    case ECONNABORTED: return kErrConnAborted;
    case ENOTCONN: return kErrNotConnected;
    case ECONNREFUSED: return kErrConnRefused;
    case EACCES: return 10013;        // WSAEACCES
    case EFAULT: return 10014;        // WSAEFAULT
    case EMFILE: return 10024;        // WSAEMFILE
    case EINPROGRESS: return 10036;   // WSAEINPROGRESS
    case EALREADY: return 10037;      // WSAEALREADY
    case EMSGSIZE: return 10040;      // WSAEMSGSIZE
    case EADDRNOTAVAIL: return 10049; // WSAEADDRNOTAVAIL
    case ENETUNREACH: return 10051;   // WSAENETUNREACH
    case ENOBUFS: return kErrNoBuffers;
    case ENOMEM: return kErrNoBuffers;  // the kernel's buffers, as Winsock says it
    case EISCONN: return 10056;       // WSAEISCONN
    case EHOSTDOWN: return 10064;     // WSAEHOSTDOWN
    case EHOSTUNREACH: return 10065;  // WSAEHOSTUNREACH
    default: return kErrInvalid;      // no Winsock twin: a plain failure
  }
}

namespace {

thread_local int t_lastError = 0;

int Fail() {
  t_lastError = WinsockErrorOf(errno);
  return -1;
}

int Fd(Socket s) { return static_cast<int>(s); }

// A call on s that a test made fail: reported like a real failure.
bool Injected(Socket s) {
  const int e = TakeInjectedSocketError(s);
  if (e == 0) return false;
  t_lastError = e;
  return true;
}

}  // namespace

bool SocketsStart() { return true; }
void SocketsStop() {}

bool LookupByName(const char* name, uint8_t first[4]) {
  if (HostLookupShouldFail()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return false;
  const auto* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  std::memcpy(first, &sin->sin_addr, 4);
  freeaddrinfo(list);
  return true;
}

Socket TcpSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return fd;
}

int Connect(Socket s, const uint8_t address[4], uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr, address, 4);
  int rc;
  do {
    rc = connect(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : Fail();
}

int SetNoDelay(Socket s) {
  int one = 1;
  return setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : Fail();
}

int SetBlocking(Socket s, bool blocking) {
  const int flags = fcntl(Fd(s), F_GETFL, 0);
  if (flags < 0) return Fail();
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(Fd(s), F_SETFL, wanted) == 0 ? 0 : Fail();
}

int Bind(Socket s, const uint8_t address[4], uint16_t port) {
  int one = 1;
  setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr, address, 4);
  return bind(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : Fail();
}

int Listen(Socket s, int backlog) { return listen(Fd(s), backlog) == 0 ? 0 : Fail(); }

Socket Accept(Socket listener) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd;
  do {
    fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return fd;
}

uint16_t LocalPort(Socket s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int SetKeepAlive(Socket s, const KeepAlive& k) {
  const int on = 1;
  const int idle = static_cast<int>((k.idleMs + 999) / 1000);
  const int interval = static_cast<int>((k.intervalMs + 999) / 1000);
  const int probes = static_cast<int>(k.probes);
  const bool ok = setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
                  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
                  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
                  setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
  return ok ? 0 : Fail();
}

bool GetKeepAlive(Socket s, KeepAlive* k) {
  auto get = [s](int level, int name) {
    int value = 0;
    socklen_t len = sizeof value;
    return getsockopt(Fd(s), level, name, &value, &len) == 0 ? value : 0;
  };
  *k = KeepAlive{};
  if (get(SOL_SOCKET, SO_KEEPALIVE) == 0) return false;
  k->idleMs = static_cast<uint32_t>(get(IPPROTO_TCP, TCP_KEEPIDLE)) * 1000;
  k->intervalMs = static_cast<uint32_t>(get(IPPROTO_TCP, TCP_KEEPINTVL)) * 1000;
  k->probes = static_cast<uint32_t>(get(IPPROTO_TCP, TCP_KEEPCNT));
  return true;
}

int Send(Socket s, const void* data, int len) {
  if (Injected(s)) return -1;
  const auto* p = static_cast<const char*>(data);
  int sent = 0;
  while (sent < len) {
    const ssize_t n = send(Fd(s), p + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    sent += static_cast<int>(n);
  }
  return len;
}

namespace {
// Waits until s can take more bytes or the deadline passes; false with
// kErrTimedOut once it has.
bool WaitWritable(Socket s, uint64_t deadline) {
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) {
      t_lastError = kErrTimedOut;
      return false;
    }
    const uint64_t left = deadline - now;
    pollfd p{Fd(s), POLLOUT, 0};
    const int rc = poll(&p, 1, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) {
      Fail();
      return false;
    }
  }
}
}  // namespace

int SendParts(Socket s, const SendPart* parts, int count, uint32_t timeoutMs) {
  if (Injected(s)) return -1;
  if (count < 0 || count > kMaxSendParts) {
    t_lastError = kErrInvalid;
    return -1;
  }
  iovec iov[kMaxSendParts];
  int n = 0;
  size_t left = 0;
  for (int i = 0; i < count; ++i) {
    if (parts[i].length == 0) continue;
    iov[n].iov_base = const_cast<void*>(parts[i].data);
    iov[n].iov_len = parts[i].length;
    left += parts[i].length;
    ++n;
  }
  // sendmsg, not writev: only a send call takes MSG_NOSIGNAL. With a time
  // limit the socket is never waited on inside the call: whatever fits
  // goes, and poll waits for room until the deadline.
  const bool limited = timeoutMs != kInfinite;
  const uint64_t deadline = limited ? MonotonicMs() + timeoutMs : 0;
  const int flags = MSG_NOSIGNAL | (limited ? MSG_DONTWAIT : 0);
  msghdr m{};
  int first = 0;
  while (left > 0) {
    m.msg_iov = iov + first;
    m.msg_iovlen = static_cast<size_t>(n - first);
    const ssize_t sent = sendmsg(Fd(s), &m, flags);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (limited && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitWritable(s, deadline)) return -1;
        continue;
      }
      return Fail();
    }
    // A short send: skip what left, the rest goes in the next call.
    left -= static_cast<size_t>(sent);
    for (size_t done = static_cast<size_t>(sent); done > 0;) {
      const size_t step = done < iov[first].iov_len ? done : iov[first].iov_len;
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      done -= step;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return 0;
}

int Recv(Socket s, void* data, int len, bool peek) {
  if (Injected(s)) return -1;
  ssize_t n;
  do {
    n = recv(Fd(s), data, static_cast<size_t>(len), peek ? MSG_PEEK : 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail();
  return static_cast<int>(n);
}

bool WaitReadable(Socket s, uint32_t timeoutMs) {
  pollfd p{Fd(s), POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, static_cast<int>(timeoutMs));
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void ShutdownBoth(Socket s) { shutdown(Fd(s), SHUT_RDWR); }

void CloseSocket(Socket s) { close(Fd(s)); }

void CloseSocketAbortive(Socket s) {
  linger l{1, 0};
  setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(Fd(s));
}

int LastSocketError() { return t_lastError; }

}  // namespace vxb::plat
