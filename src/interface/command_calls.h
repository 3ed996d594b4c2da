// Command calls: one command to the viewer and the wait for its answer.
#pragma once

#include <cstdint>

#include "transport/answer.h"

namespace vxb {

// The latest answer as the calling thread reads it (its own latest
// command's, or the process's when it has sent none), held for the caller:
// LetGo it. Null when there is no text.
Answer* HoldLastResponse();
// The calling thread's latest command ended with answer (null: without a
// text); takes over the caller's hold.
void KeepLastResponse(Answer* answer);
// Sends one system command ("FLUSH", "CANCELALL") and waits for its answer.
int32_t RunSystemCommand(const char* text);
// The product version, asked of the viewer once per connection, copied
// into text (512 bytes, NUL-terminated).
int32_t FetchProductVersion(char* text);

}  // namespace vxb
