// Windows: the process's handle count, a toolhelp snapshot of its threads
// and its working set (psapi and ntdll; linked into the soak only, never
// into the library).
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "process_probe.h"

namespace vxsoak {
namespace {

// One entry of the system's extended handle list (information class 64),
// which follows the list's count and a reserved word.
struct HandleEntry {
  PVOID object;
  ULONG_PTR processId, handle;
  ULONG access;
  USHORT creatorBackTraceIndex, objectTypeIndex;
  ULONG attributes, reserved;
};

// This process's entries in the system's handle list; -1 when unavailable.
int64_t HandlesFromSystemList() {
  for (std::vector<ULONG_PTR> list(1u << 17); list.size() <= (1u << 24); list.resize(list.size() * 2)) {
    const NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(64), list.data(),
                                                     static_cast<ULONG>(list.size() * sizeof list[0]), nullptr);
    if (status == static_cast<NTSTATUS>(0xC0000004L)) continue;  // the list is larger
    if (status != 0) return -1;
    const auto* entries = reinterpret_cast<const HandleEntry*>(list.data() + 2);
    return std::count_if(entries, entries + list[0],
                         [](const HandleEntry& e) { return e.processId == GetCurrentProcessId(); });
  }
  return -1;
}

}  // namespace

ProcessFigures MeasureProcess() {
  ProcessFigures f;
  DWORD handles = 0;
  // A running process always holds handles: 0 means the call is not really
  // there (Wine); the system's handle list still counts them.
  f.descriptors = GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0 ? handles
                                                                                      : HandlesFromSystemList();
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
    f.residentKiB = static_cast<int64_t>(counters.WorkingSetSize / 1024);
  }
  return f;
}

int64_t SystemCountSlack() { return 4; }

}  // namespace vxsoak
