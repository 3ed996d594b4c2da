#include "command_timeout_setting.h"

#include "platform/platform.h"

namespace vxb {

bool ParseCommandTimeout(const char* text, uint32_t* ms) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    // Stopping at the first value past the range keeps any run of digits
    // from overflowing.
    if (value >= plat::kInfinite) return false;
  }
  *ms = value == 0 ? plat::kInfinite : static_cast<uint32_t>(value);
  return true;
}

uint32_t CommandTimeoutSetting(std::string* note) {
  char text[16];
  const int32_t n = plat::EnvironmentValue("VXBRIDGE_COMMAND_TIMEOUT_MS", text, sizeof text);
  uint32_t ms = plat::kInfinite;
  if (n <= 0) return ms;
  // A value too long for the buffer is not cut short: no valid one is.
  const bool fits = n < static_cast<int32_t>(sizeof text);
  if (fits && ParseCommandTimeout(text, &ms)) return ms;
  if (note != nullptr) {
    *note = "VXBRIDGE_COMMAND_TIMEOUT_MS=" + (fits ? QuotedSetting(text, n) : std::to_string(n) + " characters") +
            " ignored: not a whole number of milliseconds from 0 to 4294967294; commands wait without limit";
  }
  return plat::kInfinite;
}

std::string QuotedSetting(const char* value, int32_t length) {
  constexpr int32_t kShown = 40;
  std::string quoted = "\"";
  for (int32_t i = 0; i < length && i < kShown; ++i) {
    const char c = value[i];
    quoted += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return quoted + (length > kShown ? "...\"" : "\"");
}

}  // namespace vxb
