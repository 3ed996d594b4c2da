// Windows: the process's handle count, a toolhelp snapshot of its threads
// and its working set (psapi and ntdll; linked into the soak only, never
// into the library).
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vector>

#include "process_probe.h"

namespace vxsoak {
namespace {

// One entry of the system's extended handle list (information class 64).
struct HandleEntry {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG access;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kExtendedHandleInformation = 64;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// This process's entries in the system's handle list; -1 when unavailable.
int64_t HandlesFromSystemList() {
  std::vector<char> buffer(1u << 20);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status = NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kExtendedHandleInformation), buffer.data(),
        static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    int64_t n = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
      if (list->entries[i].processId == self) ++n;
    }
    return n;
  }
  return -1;
}

}  // namespace

ProcessFigures MeasureProcess() {
  ProcessFigures f;
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) f.descriptors = handles;
  // A running process always holds handles: 0 means the call is not really
  // there (Wine); the system's handle list still counts them.
  if (f.descriptors <= 0) f.descriptors = HandlesFromSystemList();

  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int64_t n = 0;
    if (Thread32First(snapshot, &entry)) {
      for (int i = 0; i < 1000000; ++i) {
        if (entry.th32OwnerProcessID == self) ++n;
        entry.dwSize = sizeof entry;
        if (!Thread32Next(snapshot, &entry)) break;
      }
    }
    CloseHandle(snapshot);
    f.threads = n;
  }

  PROCESS_MEMORY_COUNTERS counters;
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    f.residentKiB = static_cast<int64_t>(counters.WorkingSetSize / 1024);
  }
  return f;
}

const char* DescriptorWord() { return "handles"; }
const char* ResidentWord() { return "working set"; }

int64_t SystemCountSlack() { return 4; }

}  // namespace vxsoak
