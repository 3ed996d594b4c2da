#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  // Both the C runtime's copy (std::getenv) and the process block (what
  // the library reads and a started program inherits).
  _putenv_s(name, value != nullptr ? value : "");
  SetEnvironmentVariableA(name, value);
}

long OpenHandles() {
  // Every handle value that names a handle, as GetProcessHandleCount is always
  // 0 under Wine; handle values are small multiples of 4, the lowest free first.
  DWORD flags = 0;
  long handles = 0;
  for (uintptr_t h = 4; h < (1u << 16); h += 4) {
    handles += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
  }
  return handles;
}

long ProcessThreads() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  long threads = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    threads += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return threads;
}

void LimitSendWait(intptr_t socket, int timeoutMs) {
  const DWORD t = static_cast<DWORD>(timeoutMs);
  setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}

}  // namespace vxtest
