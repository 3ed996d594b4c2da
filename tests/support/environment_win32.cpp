#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  // Both the C runtime's copy (std::getenv) and the process block (what
  // the library reads and a started program inherits).
  _putenv_s(name, value != nullptr ? value : "");
  SetEnvironmentVariableA(name, value);
}

void LimitSendWait(intptr_t socket, int timeoutMs) {
  const DWORD t = static_cast<DWORD>(timeoutMs);
  setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}

}  // namespace vxtest
