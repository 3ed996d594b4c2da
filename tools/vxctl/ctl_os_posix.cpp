// POSIX side of ctl_os.h.
#include "ctl_os.h"

#include "ctl_text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace vxctl::os {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistryVariable = "VXBRIDGE_REGISTRY_ROOT";
constexpr const char* kDefaultRegistryRoot = "/etc/vxbridge/registry";

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

pid_t pidOf(const ChildProcess& child) { return static_cast<pid_t>(child.handle); }

// The registry variable as it was before redirectInstallStore.
bool g_storeRedirected = false;
bool g_storeHadValue = false;
std::string g_storeOldValue;

}  // namespace

// ---- Child processes -------------------------------------------------------

bool startChild(const ChildStart& what, ChildProcess& child, std::string& err) {
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  auto closeAll = [&] {
    for (int f : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
      if (f >= 0) ::close(f);
  };
  // Close-on-exec everywhere: only the dup2 copies below reach the child,
  // and no later child (nor a viewer the library starts) inherits them.
  if ((what.captureStdout && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
      (what.captureStderr && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
    err = sysError("pipe");
    closeAll();
    return false;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (what.captureStdout) ::posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  if (what.captureStderr) ::posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

  std::vector<std::string> words{what.program};
  words.insert(words.end(), what.args.begin(), what.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, what.program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    err = "cannot start " + what.program + ": " + std::strerror(rc);
    closeAll();
    return false;
  }
  if (outPipe[1] >= 0) ::close(outPipe[1]);
  if (errPipe[1] >= 0) ::close(errPipe[1]);
  child.handle = pid;
  child.pid = static_cast<std::uint32_t>(pid);
  child.out = outPipe[0];
  child.err = errPipe[0];
  return true;
}

long readPipe(PipeEnd pipe, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(pipe), buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return 0;
  }
}

void closePipe(PipeEnd pipe) {
  if (pipe != kNoPipe) ::close(static_cast<int>(pipe));
}

bool waitChild(ChildProcess& child, int timeoutMs, int& status) {
  if (child.handle < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    const pid_t got = ::waitpid(pidOf(child), &raw, WNOHANG);
    if (got == pidOf(child)) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
      child.handle = -1;
      return true;
    }
    if (got < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleepMs(10);
  }
}

void stopChild(ChildProcess& child) {
  if (child.handle >= 0) ::kill(pidOf(child), SIGTERM);
}

void releaseChild(ChildProcess& child) {
  if (child.handle >= 0) {
    // Still running: end it for good and reap it.
    ::kill(pidOf(child), SIGKILL);
    int raw = 0;
    while (::waitpid(pidOf(child), &raw, 0) < 0 && errno == EINTR) {
    }
    child.handle = -1;
  }
}

// ---- Processes not started by us --------------------------------------------

std::vector<std::uint32_t> findProcessesByImage(const std::string& path) {
  std::vector<std::uint32_t> found;
  std::error_code ec;
  const fs::path wanted = fs::weakly_canonical(path, ec);
  if (ec) return found;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    const fs::path exe = fs::read_symlink(it->path() / "exe", linkError);
    if (!linkError && exe == wanted) found.push_back(static_cast<std::uint32_t>(std::stoul(name)));
  }
  return found;
}

bool endProcess(std::uint32_t pid, int timeoutMs) {
  const auto p = static_cast<pid_t>(pid);
  if (::kill(p, SIGTERM) != 0) return errno == ESRCH;
  // Whoever started it reaps it (the library does for the viewers it
  // starts); until then /proc still lists it, but as a zombie without exe.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  bool killed = false;
  for (;;) {
    std::error_code ec;
    if (fs::read_symlink(exe, ec).empty() || ec) return true;
    if (std::chrono::steady_clock::now() >= deadline) {
      // A viewer slow to honour SIGTERM (an instrumented build, a loaded
      // machine) is ended for sure; give that one more moment to show.
      if (killed) return false;
      ::kill(p, SIGKILL);
      killed = true;
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    }
    sleepMs(20);
  }
}

// ---- Files, directories, environment ------------------------------------------

std::string executableDir() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  return self.parent_path().string() + "/";
}

std::string executableSuffix() { return ""; }

bool makeScratchDir(const std::string& prefix, std::string& dir, std::string& err) {
  std::string base;
  if (!getEnv("TMPDIR", base) || base.empty()) base = "/tmp";
  std::string pattern = base + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    err = sysError("cannot create a directory in " + base);
    return false;
  }
  std::error_code ec;
  const fs::path real = fs::canonical(pattern, ec);
  dir = ec ? pattern : real.string();
  return true;
}

bool makeExecutable(const std::string& path, std::string& err) {
  if (::chmod(path.c_str(), 0755) == 0) return true;
  err = sysError("chmod " + path);
  return false;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool getEnv(const std::string& name, std::string& value) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return false;
  value = v;
  return true;
}

bool setEnv(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool unsetEnv(const std::string& name) { return ::unsetenv(name.c_str()) == 0; }

// ---- The installation store --------------------------------------------------------

bool redirectInstallStore(const std::string& dir) {
  if (!g_storeRedirected) {
    g_storeHadValue = getEnv(kRegistryVariable, g_storeOldValue);
    g_storeRedirected = true;
  }
  return setEnv(kRegistryVariable, dir);
}

void restoreInstallStore() {
  if (!g_storeRedirected) return;
  if (g_storeHadValue) setEnv(kRegistryVariable, g_storeOldValue);
  else unsetEnv(kRegistryVariable);
  g_storeRedirected = false;
}

namespace {

fs::path keyDirectory(const std::string& path) {
  std::string root;
  if (!getEnv(kRegistryVariable, root) || root.empty()) root = kDefaultRegistryRoot;
  fs::path dir = fs::path(root) / "HKEY_LOCAL_MACHINE";
  std::string part;
  for (char c : path + "\\") {
    if (c != '\\') {
      part += c;
    } else if (!part.empty()) {
      dir /= part;
      part.clear();
    }
  }
  return dir;
}

}  // namespace

bool registryKeyExists(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(keyDirectory(path), ec);
}

void removeEmptyRegistryKey(const std::string& path) {
  std::error_code ec;
  const fs::path dir = keyDirectory(path);
  if (fs::is_directory(dir, ec) && fs::is_empty(dir, ec)) fs::remove(dir, ec);
}

// ---- Sockets ---------------------------------------------------------------------

std::uint16_t unusedTcpPort() {
  const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (f < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (::bind(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(f, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(f);
  return port;
}

bool tcpPortAnswers(std::uint16_t port) {
  const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (f < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool answered = ::connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(f);
  return answered;
}

bool nameResolves(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

// ---- Console and time -----------------------------------------------------------

void initConsole() {}

std::string consoleText(const std::string& cp1252) { return cp1252ToUtf8(cp1252); }

std::string fromConsole(const std::string& text) { return utf8ToCp1252(text); }

void sleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Ours move to descriptors closed on exec; 1 and 2, which every new program
// gets, point at the file and the null device meanwhile.
OutputsWithheld::OutputsWithheld(const std::string& outPath) {
  null_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  out_ = outPath.empty() ? -1 : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int out = static_cast<int>(outPath.empty() ? null_ : out_);
  if (null_ < 0 || out < 0) return;
  savedOut_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  savedErr_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (savedOut_ < 0 || savedErr_ < 0) return;
  undo_ = 1;
  ok_ = ::dup2(out, 1) == 1 && ::dup2(static_cast<int>(null_), 2) == 2;
}

OutputsWithheld::~OutputsWithheld() {
  if (undo_ != 0) {
    ::dup2(static_cast<int>(savedOut_), 1);
    ::dup2(static_cast<int>(savedErr_), 2);
  }
  for (std::intptr_t fd : {savedOut_, savedErr_, out_, null_})
    if (fd >= 0) ::close(static_cast<int>(fd));
}

void OutputsWithheld::say(const std::string& text) const {
  const int fd = undo_ != 0 ? static_cast<int>(savedErr_) : 2;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace vxctl::os
