// The waiting raw petition of server mode, as a string ("<none>" when
// there is none), for tests that go through the exported API.
#pragma once

#include <string>

#include "vxbridge.h"

namespace vxtest {

inline std::string Petition() {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (VxReadRawPetition(&data, &size) != 0) return "<none>";
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace vxtest
