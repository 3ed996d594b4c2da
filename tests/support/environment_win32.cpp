#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  // Both the C runtime's copy (std::getenv) and the process block (what
  // the library reads and a started program inherits).
  _putenv_s(name, value != nullptr ? value : "");
  SetEnvironmentVariableA(name, value);
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
