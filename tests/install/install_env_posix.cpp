#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "install_fixture.h"

namespace vxtest {

namespace fs = std::filesystem;

std::string g_root;  // the temporary store of the running test

void StoreReset() {
  StoreCleanUp();
  std::string pattern = (fs::temp_directory_path() / "vxb-store-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  g_root = pattern;
  ::setenv("VXBRIDGE_REGISTRY_ROOT", g_root.c_str(), 1);
}

void StoreCleanUp() {
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
  g_root.clear();
  ::unsetenv("VXBRIDGE_REGISTRY_ROOT");
}

bool StoreWrite(const std::string& keyPath, const std::string& name, const std::string& bytes, bool) {
  std::string key = keyPath;
  std::replace(key.begin(), key.end(), '\\', '/');
  const fs::path dir = fs::path(g_root) / "HKEY_LOCAL_MACHINE" / key;
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::ofstream out(dir / name, std::ios::binary);
  return !ec && (out << bytes).flush().good();
}

ChildProcess StartChild(const std::string& path) {
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  return ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : 0;
}

void StopChild(ChildProcess child) {
  if (child == 0) return;
  ::kill(static_cast<pid_t>(child), SIGKILL);
  while (::waitpid(static_cast<pid_t>(child), nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool HasUnreapedChild() {
  siginfo_t info{};
  // WNOWAIT looks at an ended child without collecting it.
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

std::string ExecutableDirectory() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

}  // namespace vxtest
