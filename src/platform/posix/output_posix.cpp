// Diagnostic output on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/platform.h"

namespace vxb::plat {

struct OutputImpl {
  int fd;
};

namespace {

OutputImpl g_standardError{STDERR_FILENO};

// Writes with SIGPIPE held back on this thread: a host whose standard error
// is a pipe nobody reads any more must not be killed by a trace line. A
// SIGPIPE this write raised is taken again before the mask is restored.
bool WriteAll(int fd, const char* data, size_t size) {
  sigset_t pipe, old, pending;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigemptyset(&pending);
  if (pthread_sigmask(SIG_BLOCK, &pipe, &old) != 0) return false;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  bool ok = true;
  bool brokePipe = false;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      brokePipe = n < 0 && errno == EPIPE;
      ok = false;
      break;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  if (brokePipe && !wasPending) {
    const timespec none{0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

}  // namespace

OutputImpl* OutputOpenFile(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  auto* out = new (std::nothrow) OutputImpl{fd};
  if (out == nullptr) ::close(fd);
  return out;
}

OutputImpl* OutputStandardError() { return &g_standardError; }

namespace {
// True when fd is a TCP/IP socket. A host that closed its standard error
// leaves its number to the next descriptor made, which may be a socket of
// the library's own connection: a trace line written there would go to the
// viewer as bytes of the stream. (A local socket, as a journal's, is fine.)
bool IsNetworkSocket(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return address.ss_family == AF_INET || address.ss_family == AF_INET6;
}
}  // namespace

bool OutputWrite(OutputImpl* out, const void* data, uint32_t size) {
  if (out == nullptr) return false;
  if (out == &g_standardError && IsNetworkSocket(out->fd)) return false;
  return WriteAll(out->fd, static_cast<const char*>(data), size);
}

void OutputClose(OutputImpl* out) {
  if (out == nullptr || out == &g_standardError) return;
  ::close(out->fd);
  delete out;
}

}  // namespace vxb::plat
