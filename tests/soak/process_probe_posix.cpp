// Linux: /proc/self/fd, /proc/self/task and VmRSS of /proc/self/status.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process_probe.h"

namespace vxsoak {
namespace {

// Entries of a directory (all numeric here), the directory stream's own
// descriptor excluded when counting /proc/self/fd.
int64_t CountEntries(const char* path, bool excludeOwn) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  const int own = excludeOwn ? dirfd(dir) : -1;
  int64_t n = 0;
  for (const dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
    if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) ++n;
  }
  closedir(dir);
  return n;
}

int64_t ResidentKiB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  int64_t kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::strtoll(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return kib;
}

}  // namespace

ProcessFigures MeasureProcess() {
  ProcessFigures f;
  f.descriptors = CountEntries("/proc/self/fd", true);
  f.threads = CountEntries("/proc/self/task", false);
  f.residentKiB = ResidentKiB();
  return f;
}

const char* DescriptorWord() { return "descriptors"; }
const char* ResidentWord() { return "VmRSS"; }

int64_t SystemCountSlack() { return 0; }

}  // namespace vxsoak
