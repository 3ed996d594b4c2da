#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "install_fixture.h"

namespace vxtest {

namespace fs = std::filesystem;

namespace {

std::string g_root;  // the temporary store of the running test

fs::path KeyDirectory(std::string key) {
  std::replace(key.begin(), key.end(), '\\', '/');
  return fs::path(g_root) / "HKEY_LOCAL_MACHINE" / key;
}

}  // namespace

void StoreReset() {
  StoreCleanUp();
  std::string pattern = (fs::temp_directory_path() / "vxb-store-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  g_root = pattern;
  ::setenv("VXBRIDGE_REGISTRY_ROOT", g_root.c_str(), 1);
}

void StoreCleanUp() {
  if (g_root.empty()) return;
  std::error_code ec;
  fs::remove_all(g_root, ec);
  g_root.clear();
  ::unsetenv("VXBRIDGE_REGISTRY_ROOT");
}

bool StoreWrite(const std::string& key, const std::string& name, const std::string& bytes, bool) {
  std::error_code ec;
  const fs::path dir = KeyDirectory(key);
  fs::create_directories(dir, ec);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !ec && static_cast<bool>(out);
}

struct ChildProcess {
  pid_t pid;
};

ChildProcess* StartChild(const std::string& path) {
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return nullptr;
  return new ChildProcess{pid};
}

void StopChild(ChildProcess* child) {
  if (child == nullptr) return;
  ::kill(child->pid, SIGKILL);
  while (::waitpid(child->pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  delete child;
}

int UnreapedChildren() {
  // /proc/<pid>/stat: "pid (name) state ppid ..."; the name may hold
  // blanks and parentheses, so the fields are read after the last ')'.
  int count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::ifstream in(entry.path() / "stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && state == 'Z' &&
        parent == static_cast<long>(::getpid())) {
      ++count;
    }
  }
  return count;
}

std::string ExecutableDirectory() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

std::string OtherCaseSpelling(const std::string& path) {
  const fs::path original(path);
  const fs::path other = original.parent_path() / SwapLetterCase(original.filename().string());
  std::error_code ec;
  fs::create_symlink(original.filename(), other, ec);
  return other.string();
}

}  // namespace vxtest
