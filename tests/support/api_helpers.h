// Small readers of the exported API shared by the API, hostile and soak
// tests.
#pragma once

#include <string>

#include "vxbridge.h"

namespace vxtest {

// The latest response as bytes, through VxGetLastResponseA; "<failed>" when
// the call fails (which no expected text equals).
inline std::string LastResponseText() {
  uint32_t length = 0;
  char* text = nullptr;
  if (VxGetLastResponseA(&length, &text) != 0) return "<failed>";
  std::string s = text == nullptr ? std::string() : std::string(text, length);
  VxFreeA(text);
  return s;
}

// The waiting raw petition of server mode ("<none>" when there is none).
inline std::string Petition() {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (VxReadRawPetition(&data, &size) != 0) return "<none>";
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace vxtest
