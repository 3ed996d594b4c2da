// POSIX side of sim_os.h. The "registry" is a directory tree: a key is a
// directory and a value a file holding the value's raw bytes, so hosts that
// read installation entries can be tested on machines without a registry.
#include "sim_os.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vxsim::os {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int) { g_stop = 1; }

int fd(Socket s) { return static_cast<int>(s); }

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

void setNoDelay(int f) {
  int one = 1;
  ::setsockopt(f, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

namespace fs = std::filesystem;

const char* registryRoot() {
  const char* root = std::getenv("VXBRIDGE_REGISTRY_ROOT");
  return root != nullptr && *root != '\0' ? root : nullptr;
}

fs::path keyDir(const std::string& key) {
  fs::path dir = registryRoot() != nullptr ? registryRoot() : "/etc/vxbridge/registry";
  dir /= "HKEY_LOCAL_MACHINE";
  std::string part;
  for (char c : key + "\\") {
    if (c != '\\') {
      part += c;
    } else if (!part.empty()) {
      dir /= part;
      part.clear();
    }
  }
  return dir;
}

bool writeValue(const std::string& key, const std::string& name, const std::string& bytes,
                std::string& err) {
  const fs::path dir = keyDir(key);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    err = "cannot create " + dir.string() + ": " + ec.message();
    // The system-wide store needs root; a store of one's own needs the
    // same variable in the host's environment, where the library reads it.
    if (registryRoot() == nullptr && ec == std::errc::permission_denied)
      err += "\nvxsim: as a user, keep the entries in a folder of your own and give the host the same "
             "variable: export VXBRIDGE_REGISTRY_ROOT=\"$HOME/.vxbridge/registry\"";
    return false;
  }
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    err = "cannot write " + (dir / name).string();
    return false;
  }
  return true;
}

}  // namespace

bool startNetwork(std::string&) {
  std::signal(SIGPIPE, SIG_IGN);  // belt and braces next to MSG_NOSIGNAL
  return true;
}

Socket listenTcp(std::uint16_t port, std::uint16_t& boundPort, std::string& err) {
  const int f = ::socket(AF_INET, SOCK_STREAM, 0);
  if (f < 0) {
    err = sysError("socket");
    return kNoSocket;
  }
  int one = 1;
  ::setsockopt(f, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (::bind(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(f, 4) != 0 ||
      ::getsockname(f, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    err = sysError("cannot listen on port " + std::to_string(port));
    ::close(f);
    return kNoSocket;
  }
  boundPort = ntohs(addr.sin_port);
  return static_cast<Socket>(f);
}

Socket acceptClient(Socket listener, std::string& err) {
  for (;;) {
    const int f = ::accept(fd(listener), nullptr, nullptr);
    if (f >= 0) {
      setNoDelay(f);
      return static_cast<Socket>(f);
    }
    if (errno != EINTR || g_stop) {
      err = sysError("accept");
      return kNoSocket;
    }
  }
}

Socket connectTcp(const std::string& host, std::uint16_t port, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    err = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return kNoSocket;
  }
  const int f = ::socket(AF_INET, SOCK_STREAM, 0);
  const bool ok = f >= 0 && ::connect(f, found->ai_addr, found->ai_addrlen) == 0;
  if (!ok) err = sysError("cannot connect to " + host + ":" + std::to_string(port));
  ::freeaddrinfo(found);
  if (!ok) {
    if (f >= 0) ::close(f);
    return kNoSocket;
  }
  setNoDelay(f);
  return static_cast<Socket>(f);
}

int waitReadable(Socket s, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd(s), &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int rc = ::select(fd(s) + 1, &set, nullptr, nullptr, &tv);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  return rc > 0 ? 1 : 0;
}

long receiveSome(Socket s, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd(s), buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool sendAll(Socket s, const char* data, std::size_t size, std::string& err) {
  while (size > 0) {
    const ssize_t n = ::send(fd(s), data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = sysError("send");
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void closeSocket(Socket s) {
  if (s != kNoSocket) ::close(fd(s));
}

void shutdownSend(Socket s) { ::shutdown(fd(s), SHUT_WR); }

bool startDetached(const std::vector<std::string>& args, const std::string& outputFile, std::string& err) {
  const std::string self = executablePath();
  std::vector<char*> argv{const_cast<char*>(self.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    err = sysError("fork");
    return false;
  }
  if (pid > 0) return true;
  // The child: a session of its own, so that the caller's terminal and
  // process group (a test runner ending its tests) leave it alone.
  ::setsid();
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(127);
  ::execv(self.c_str(), argv.data());
  const std::string why =
      "vxsim: cannot run " + self + ": " + std::strerror(errno) + "\nvxsim: exit status 1\n";
  (void)!::write(2, why.data(), why.size());
  ::_exit(1);
}

void installStopHandler() {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR so we notice
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool stopRequested() { return g_stop != 0; }

void sleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  ::nanosleep(&ts, nullptr);  // an early wake-up by a signal is fine
}

std::string executablePath() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

bool regReadDword(const std::string& key, const std::string& name, std::uint32_t& value) {
  std::ifstream in(keyDir(key) / name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() != 4) return false;
  value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return true;
}

bool regWriteDword(const std::string& key, const std::string& name, std::uint32_t value,
                   std::string& err) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return writeValue(key, name, bytes, err);
}

bool regWriteString(const std::string& key, const std::string& name, const std::string& value,
                    std::string& err) {
  return writeValue(key, name, value + std::string(1, '\0'), err);
}

bool regDeleteKey(const std::string& key, bool& existed, std::string& err) {
  std::error_code ec;
  existed = fs::remove_all(keyDir(key), ec) > 0;
  if (ec) err = "cannot remove " + keyDir(key).string() + ": " + ec.message();
  return !ec;
}

std::string regDescribe(const std::string& key) { return keyDir(key).string(); }

}  // namespace vxsim::os
