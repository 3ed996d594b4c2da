// Windows: the process's handles, its threads (a toolhelp snapshot) and its
// working set (psapi; linked into the soak only, never into the library).
#include <windows.h>
#include <psapi.h>

#include <cstdint>

#include "process_probe.h"
#include "test_support.h"

namespace vxsoak {

ProcessFigures MeasureProcess() {
  ProcessFigures f;
  f.descriptors = vxtest::OpenHandles();
  f.threads = vxtest::ProcessThreads();
  PROCESS_MEMORY_COUNTERS counters{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    f.residentKiB = static_cast<long long>(counters.WorkingSetSize / 1024);
  }
  return f;
}

}  // namespace vxsoak
