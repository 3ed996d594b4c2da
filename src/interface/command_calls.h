// Command calls: one command to the viewer and the wait for its answer.
#pragma once

#include <cstdint>

namespace vxb {

struct LibraryResponse {
  const uint8_t* data;
  uint32_t length;
};

// The latest answer text (data null and length 0 when there is none).
LibraryResponse LastResponse();
// Sends one system command ("FLUSH", "CANCELALL") and waits for its answer.
int32_t RunSystemCommand(const char* text);
// The product version, asked of the viewer once per connection.
int32_t FetchProductVersion(const char** text);

}  // namespace vxb
