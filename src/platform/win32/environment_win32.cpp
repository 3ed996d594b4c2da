// The process environment on Win32: the process block itself, which hosts
// in any language change (the C runtime's copy may not follow).
#include <windows.h>

#include "../platform.h"

namespace vxb::plat {

int EnvironmentValue(const char* name, char* buffer, uint32_t capacity) {
  SetLastError(ERROR_SUCCESS);
  const DWORD n = GetEnvironmentVariableA(name, buffer, capacity);
  // 0 is an unset variable, or an empty one (no error then); a count not
  // below the capacity is the size the value would need.
  if (n == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND || capacity == 0) return -1;
    buffer[0] = 0;
    return 0;
  }
  return n < capacity ? static_cast<int>(n) : -1;
}

void SetEnvironmentValue(const char* name, const char* value) {
  SetEnvironmentVariableA(name, value);
}

}  // namespace vxb::plat
