// The process environment on POSIX.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vxb::plat {

int32_t EnvironmentValue(const char* name, char* buffer, uint32_t capacity) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return -1;
  const size_t n = std::strlen(value);
  if (n >= capacity) return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(n);
  std::memcpy(buffer, value, n + 1);
  return static_cast<int32_t>(n);
}

}  // namespace vxb::plat
