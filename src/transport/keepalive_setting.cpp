#include "keepalive_setting.h"

#include "command_timeout_setting.h"

namespace vxb {
namespace {

struct Range {
  uint32_t least;
  uint32_t most;
};
// Below a second of idle time the probes would be most of the traffic; a
// probe every 100 ms is as fast as a lossy link can sensibly be judged.
constexpr Range kRanges[3] = {{1000, 32767000}, {100, 32767000}, {1, 127}};

std::string Span(const Range& r) { return std::to_string(r.least) + "-" + std::to_string(r.most); }

}  // namespace

bool ParseKeepAlive(const char* text, plat::KeepAlive* k) {
  if (text == nullptr) return false;
  uint32_t values[3];
  const char* p = text;
  for (int field = 0; field < 3; ++field) {
    if (field > 0 && *p++ != ',') return false;
    const char* digits = p;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      // Stopping above the range keeps any run of digits from overflowing.
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      if (value > kRanges[field].most) return false;
    }
    if (p == digits || value < kRanges[field].least) return false;
    values[field] = value;
  }
  if (*p != '\0') return false;
  *k = plat::KeepAlive{values[0], values[1], values[2]};
  return true;
}

plat::KeepAlive KeepAliveFromEnvironment(std::string* note) {
  char text[32];
  plat::KeepAlive k = kDefaultKeepAlive;
  const int32_t n = plat::EnvironmentValue("VXBRIDGE_KEEPALIVE_MS", text, sizeof text);
  if (n <= 0) return k;
  // A value too long for the buffer is not cut short: no valid one is.
  const bool fits = n < static_cast<int32_t>(sizeof text);
  if (fits && ParseKeepAlive(text, &k)) return k;
  if (note != nullptr) {
    *note = "VXBRIDGE_KEEPALIVE_MS=" + (fits ? QuotedSetting(text, n) : std::to_string(n) + " characters") +
            " ignored: not IDLE,INTERVAL,COUNT (" + Span(kRanges[0]) + " ms, " + Span(kRanges[1]) + " ms, " +
            Span(kRanges[2]) + " probes); the defaults " +
            std::to_string(k.idleMs) + "," + std::to_string(k.intervalMs) + "," + std::to_string(k.probes) +
            " apply";
  }
  return k;
}

}  // namespace vxb
