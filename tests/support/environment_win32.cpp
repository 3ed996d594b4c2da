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

}  // namespace vxtest
