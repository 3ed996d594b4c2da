// The process environment on POSIX.
#include <cstdlib>
#include <cstring>

#include "../platform.h"

namespace vxb::plat {

int EnvironmentValue(const char* name, char* buffer, uint32_t capacity) {
  const char* value = std::getenv(name);
  if (value == nullptr) return -1;
  const size_t n = std::strlen(value);
  if (n >= capacity) return -1;
  std::memcpy(buffer, value, n + 1);
  return static_cast<int>(n);
}

void SetEnvironmentValue(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace vxb::plat
