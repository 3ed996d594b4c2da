// The process environment on Win32: the process block itself, which hosts
// in any language change (the C runtime's copy may not follow).
#include <windows.h>

#include "platform/platform.h"

namespace vxb::plat {

int32_t EnvironmentValue(const char* name, char* buffer, uint32_t capacity) {
  // 0 is an unset or empty variable. With a buffer too small the call
  // returns the size it needs, NUL included, so the value is one shorter.
  const DWORD n = GetEnvironmentVariableA(name, buffer, capacity);
  if (n == 0) return -1;
  return static_cast<int32_t>(n >= capacity ? n - 1 : n);
}

}  // namespace vxb::plat
