// Linux: /proc/self/fd, Threads and VmRSS of /proc/self/status, and the
// heap in use from glibc's allocator.
#include <fstream>
#include <string>

#include "process_probe.h"
#include "test_support.h"

namespace vxsoak {

#if defined(__GLIBC__)
namespace {
// mallinfo2 counts the main arena only; with one arena for every thread it
// counts the library's threads too. Set before main, before any thread.
const int g_oneArena = mallopt(M_ARENA_MAX, 1);
}  // namespace
#endif

ProcessFigures MeasureProcess() {
  ProcessFigures f;
  f.descriptors = vxtest::OpenHandles();
  f.threads = vxtest::ProcessThreads();
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> f.residentKiB;
  }
#if defined(__GLIBC__)
  if (g_oneArena == 1) f.heapBytes = static_cast<long long>(vxtest::HeapInUse());
#endif
  return f;
}

}  // namespace vxsoak
