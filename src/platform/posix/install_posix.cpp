// Registry store, process list and process start on POSIX.
//
// The registry is a directory tree (the layout the viewer's installer and the
// simulator write, see platform_install.h); processes are found through
// /proc, and the viewer is started with posix_spawn.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace vxb::plat {

namespace {

constexpr size_t kStorePathSize = 4096;
constexpr const char* kDefaultRegistryRoot = "/etc/vxbridge/registry";

// Appends text to out (holding len bytes of a NUL-terminated text). False
// when it does not fit.
bool Append(char* out, size_t& len, const char* text, size_t textLen) {
  if (len + textLen + 1 > kStorePathSize) return false;
  std::memcpy(out + len, text, textLen);
  len += textLen;
  out[len] = '\0';
  return true;
}

// A name that maps to exactly one directory entry of its own: "." and ".."
// would leave the store, and '/' would split the name in two.
bool IsPlainName(const char* name, size_t len) {
  if (len == 0) return false;
  if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.')) return false;
  return std::memchr(name, '/', len) == nullptr;
}

// Appends a key path ("A\B\C") below the directory in out; empty parts (a
// leading, trailing or doubled backslash) are skipped as the registry does.
bool AppendKeyPath(char* out, size_t& len, const char* path) {
  const char* p = path;
  for (;;) {
    const char* end = std::strchr(p, '\\');
    const size_t partLen = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    if (partLen > 0) {
      if (!IsPlainName(p, partLen) || !Append(out, len, "/", 1) || !Append(out, len, p, partLen)) {
        return false;
      }
    }
    if (end == nullptr) return true;
    p = end + 1;
  }
}

// The directory of HKEY_LOCAL_MACHINE itself. The root is read on every call
// so that whoever sets the variable (an installer, a test) is seen at once.
bool HiveDirectory(char* out, size_t& len) {
  const char* root = std::getenv("VXBRIDGE_REGISTRY_ROOT");
  if (root == nullptr || *root == '\0') root = kDefaultRegistryRoot;
  len = 0;
  out[0] = '\0';
  return Append(out, len, root, std::strlen(root)) &&
         Append(out, len, "/HKEY_LOCAL_MACHINE", std::strlen("/HKEY_LOCAL_MACHINE"));
}

bool IsDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Parses a /proc entry name that is a process id.
bool ParsePid(const char* name, uint32_t* pid) {
  if (*name == '\0' || std::strlen(name) > 10) return false;
  uint64_t value = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*c - '0');
  }
  if (value == 0 || value > INT_MAX) return false;
  *pid = static_cast<uint32_t>(value);
  return true;
}

// The target of /proc/<pid>/exe, NUL-terminated; 0 when it cannot be read
// (another user's process, a kernel thread, a zombie) or may be cut short.
uint32_t ReadExeLink(uint32_t pid, char* buffer, uint32_t capacity) {
  if (capacity < 2) return 0;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
  const ssize_t n = ::readlink(link, buffer, capacity - 1);
  if (n <= 0 || static_cast<uint32_t>(n) >= capacity - 1) return 0;
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path) == 0 ? 0 : -1;
}

// Collects the exit status of a started viewer so that it does not stay a
// zombie in the host. A thread of its own does this: the host's SIGCHLD
// handling is the host's business and is left alone. The thread may wait
// past an unload of the library, which is therefore linked to stay loaded
// once loaded (nodelete, see src/CMakeLists.txt).
void* ReapChild(void* arg) {
  const auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

}  // namespace

// ---- Registry store -------------------------------------------------------------

struct RegKeyImpl {
  char dir[kStorePathSize];
};

RegKeyImpl* RegOpen(RegKeyImpl* parent, const char* path) {
  if (path == nullptr) return nullptr;
  char dir[kStorePathSize];
  size_t len = 0;
  if (parent != nullptr) {
    len = std::strlen(parent->dir);
    std::memcpy(dir, parent->dir, len + 1);
  } else if (!HiveDirectory(dir, len)) {
    return nullptr;
  }
  if (!AppendKeyPath(dir, len, path) || !IsDirectory(dir)) return nullptr;
  auto* key = new (std::nothrow) RegKeyImpl;
  if (key != nullptr) std::memcpy(key->dir, dir, len + 1);
  return key;
}

void RegClose(RegKeyImpl* key) { delete key; }

bool RegQuery(RegKeyImpl* key, const char* name, void* buffer, uint32_t* size) {
  if (key == nullptr || name == nullptr || buffer == nullptr || size == nullptr) return false;
  char file[kStorePathSize];
  size_t len = std::strlen(key->dir);
  std::memcpy(file, key->dir, len + 1);
  if (!IsPlainName(name, std::strlen(name)) || !Append(file, len, "/", 1) ||
      !Append(file, len, name, std::strlen(name))) {
    return false;
  }
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const uint32_t capacity = *size;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= capacity;
  uint32_t stored = 0;
  auto* out = static_cast<char*>(buffer);
  // Read until the end of the file, never past the capacity: a value that
  // grew after fstat is still a value larger than the buffer.
  while (ok) {
    if (stored == capacity) {
      char extra;
      ssize_t n;
      do {
        n = ::read(fd, &extra, 1);
      } while (n < 0 && errno == EINTR);
      ok = n == 0;
      break;
    }
    const ssize_t n = ::read(fd, out + stored, capacity - stored);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    stored += static_cast<uint32_t>(n);
  }
  ::close(fd);
  if (!ok) return false;
  // A text written without its NUL still reads as a text when there is
  // room for one; the terminator is not counted, as the registry does.
  if (stored < capacity && (stored == 0 || out[stored - 1] != '\0')) out[stored] = '\0';
  *size = stored;
  return true;
}

bool RegDeleteKeyPath(const char* path) {
  if (path == nullptr) return false;
  char dir[kStorePathSize];
  size_t len = 0;
  if (!HiveDirectory(dir, len) || !AppendKeyPath(dir, len, path)) return false;
  struct stat st;
  if (::lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // Children first, symbolic links removed rather than followed.
  return ::nftw(dir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

// ---- Platform family and paths ------------------------------------------------

bool IsNtPlatform() { return true; }

uint32_t LongPathName(const char* path, char* buffer, uint32_t capacity) {
  if (path == nullptr || buffer == nullptr || capacity == 0) return 0;
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return 0;
  const size_t len = std::strlen(resolved);
  uint32_t result = 0;
  if (len + 1 <= capacity) {
    std::memcpy(buffer, resolved, len + 1);
    result = static_cast<uint32_t>(len);
  }
  std::free(resolved);
  return result;
}

// ---- Process list, module method --------------------------------------------------

// Nothing needs loading on POSIX; the object only keeps the calling pattern.
struct ModuleApiImpl {
  int unused;
};

ModuleApiImpl* ModuleApiLoad() { return new (std::nothrow) ModuleApiImpl{0}; }

void ModuleApiUnload(ModuleApiImpl* api) { delete api; }

bool EnumProcessIds(ModuleApiImpl* api, uint32_t* ids, uint32_t* count) {
  if (api == nullptr || ids == nullptr || count == nullptr) return false;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  uint32_t n = 0;
  while (n < kMaxProcessIds) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    if (ParsePid(entry->d_name, &ids[n])) ++n;
  }
  ::closedir(proc);
  *count = n;
  return true;
}

struct ProcessImpl {
  uint32_t pid;
};

ProcessImpl* ProcessOpen(uint32_t id) { return new (std::nothrow) ProcessImpl{id}; }

void ProcessClose(ProcessImpl* process) { delete process; }

uint32_t ProcessImageName(ModuleApiImpl* api, ProcessImpl* process, char* buffer,
                          uint32_t capacity) {
  if (api == nullptr || process == nullptr || buffer == nullptr) return 0;
  return ReadExeLink(process->pid, buffer, capacity);
}

// ---- Process list, snapshot method ------------------------------------------------

// The same /proc walk, read lazily: the "snapshot" is the directory stream.
struct SnapshotImpl {
  DIR* proc;
};

SnapshotImpl* SnapshotTake() {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return nullptr;
  auto* snapshot = new (std::nothrow) SnapshotImpl{proc};
  if (snapshot == nullptr) ::closedir(proc);
  return snapshot;
}

void SnapshotClose(SnapshotImpl* snapshot) {
  if (snapshot == nullptr) return;
  ::closedir(snapshot->proc);
  delete snapshot;
}

bool SnapshotNext(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]) {
  if (snapshot == nullptr) return false;
  for (;;) {
    const dirent* entry = ::readdir(snapshot->proc);
    if (entry == nullptr) return false;
    uint32_t pid = 0;
    // A path that does not fit is skipped: cut short it could equal
    // another, shorter path.
    if (ParsePid(entry->d_name, &pid) && ReadExeLink(pid, name, kSnapshotNameSize) > 0) {
      return true;
    }
  }
}

bool SnapshotFirst(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]) {
  if (snapshot == nullptr) return false;
  ::rewinddir(snapshot->proc);
  return SnapshotNext(snapshot, name);
}

// ---- Process start ----------------------------------------------------------------

bool StartProcess(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  // The viewer is a program of its own: it starts with no signal blocked or
  // ignored, whatever the host's thread had set.
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) return false;
  sigset_t none;
  sigset_t all;
  ::sigemptyset(&none);
  ::sigfillset(&all);
  ::sigdelset(&all, SIGKILL);
  ::sigdelset(&all, SIGSTOP);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setsigdefault(&attr, &all);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(path), nullptr};
  pid_t pid = 0;
  // posix_spawn reports a program that cannot be executed as its result,
  // so a failed start is known here and not only from a dead child.
  const int rc = ::posix_spawn(&pid, path, nullptr, &attr, argv, environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;

  pthread_attr_t threadAttr;
  pthread_t reaper;
  if (::pthread_attr_init(&threadAttr) == 0) {
    ::pthread_attr_setdetachstate(&threadAttr, PTHREAD_CREATE_DETACHED);
    // Should no thread be available, the viewer still runs; it then stays a
    // zombie after it ends until the host exits, which is all that is lost.
    ::pthread_create(&reaper, &threadAttr, ReapChild,
                     reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    ::pthread_attr_destroy(&threadAttr);
  }
  return true;
}

}  // namespace vxb::plat
