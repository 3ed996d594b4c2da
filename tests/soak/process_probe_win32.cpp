// Windows: the process's handles, a toolhelp snapshot of its threads and its
// working set (psapi; linked into the soak only, never into the library).
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>

#include "process_probe.h"

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
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    f.threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      f.threads += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
  }
  PROCESS_MEMORY_COUNTERS counters{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    f.residentKiB = static_cast<long long>(counters.WorkingSetSize / 1024);
  }
  return f;
}

int SystemCountSlack() { return 4; }

}  // namespace vxsoak
