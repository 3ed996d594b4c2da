#include <cstdlib>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

}  // namespace vxtest
