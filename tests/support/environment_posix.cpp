#include <cstdlib>
#include <fstream>
#include <string>

#include "test_support.h"

namespace vxtest {

void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

long ProcessThreads() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    long threads = -1;
    if (key == "Threads:" && status >> threads) return threads;
  }
  return -1;
}

}  // namespace vxtest
