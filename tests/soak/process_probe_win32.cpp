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
  // Every handle value that names a handle, as GetProcessHandleCount is always
  // 0 under Wine; handle values are small multiples of 4, the lowest free first.
  DWORD flags = 0;
  f.descriptors = 0;
  for (uintptr_t h = 4; h < (1u << 16); h += 4) {
    f.descriptors += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
  }
  f.threads = vxtest::ProcessThreads();
  PROCESS_MEMORY_COUNTERS counters{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    f.residentKiB = static_cast<long long>(counters.WorkingSetSize / 1024);
  }
  return f;
}


}  // namespace vxsoak
