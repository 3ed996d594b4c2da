// The library's connection settings as the tools see them in their
// environment. The library takes an invalid value for no choice at all and
// says so only in its wire trace; vxctl and vxsim say it on the console,
// where whoever set the value looks. The rules and the words are the
// library's own: its settings tests hold both to the same cases.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace vxtools {

// The value as a note shows it: quoted, at most 40 bytes, every byte
// outside printable ASCII as '?'.
inline std::string quotedSetting(const std::string& value) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < value.size() && i < 40; ++i)
    quoted += value[i] >= 0x20 && value[i] < 0x7F ? value[i] : '?';
  return quoted + (value.size() > 40 ? "...\"" : "\"");
}

// VXBRIDGE_COMMAND_TIMEOUT_MS: up to 15 decimal digits and nothing else,
// 0 (no limit, given as 0 here) to 4294967294 ms.
inline bool parseCommandTimeout(const std::string& text, std::uint32_t& ms) {
  if (text.empty() || text.size() > 15) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value >= 0xFFFFFFFFu) return false;
  ms = static_cast<std::uint32_t>(value);
  return true;
}

// VXBRIDGE_KEEPALIVE_MS: up to 31 characters, IDLE,INTERVAL,COUNT in
// decimal digits within 1000-32767000 ms, 100-32767000 ms and 1-127 probes.
inline bool validKeepAlive(const std::string& text) {
  const std::uint64_t least[3] = {1000, 100, 1}, most[3] = {32767000, 32767000, 127};
  if (text.size() > 31) return false;
  std::size_t p = 0;
  for (int field = 0; field < 3; ++field) {
    if (field > 0 && (p >= text.size() || text[p++] != ',')) return false;
    const std::size_t digits = p;
    std::uint64_t value = 0;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9' && value <= most[field]; ++p)
      value = value * 10 + static_cast<std::uint64_t>(text[p] - '0');
    if (p == digits || value < least[field] || value > most[field]) return false;
  }
  return p == text.size();
}

inline std::string settingNote(const char* name, const std::string& value, std::size_t capacity,
                               const std::string& rest) {
  return std::string(name) + "=" +
         (value.size() < capacity ? quotedSetting(value) : std::to_string(value.size()) + " characters") +
         " ignored: " + rest;
}

// The note for each setting in this environment that the library will not
// take, in the words of its trace.
inline std::vector<std::string> ignoredSettings() {
  std::vector<std::string> notes;
  const char* timeout = std::getenv("VXBRIDGE_COMMAND_TIMEOUT_MS");
  std::uint32_t ms = 0;
  if (timeout != nullptr && *timeout != '\0' && !parseCommandTimeout(timeout, ms)) {
    notes.push_back(settingNote("VXBRIDGE_COMMAND_TIMEOUT_MS", timeout, 16,
                                "not a whole number of milliseconds from 0 to 4294967294; commands wait without "
                                "limit"));
  }
  const char* keepAlive = std::getenv("VXBRIDGE_KEEPALIVE_MS");
  if (keepAlive != nullptr && *keepAlive != '\0' && !validKeepAlive(keepAlive)) {
    notes.push_back(settingNote("VXBRIDGE_KEEPALIVE_MS", keepAlive, 32,
                                "not IDLE,INTERVAL,COUNT (1000-32767000 ms, 100-32767000 ms, 1-127 probes); the "
                                "defaults 30000,5000,5 apply"));
  }
  return notes;
}

// The command time-out a connection opened now gets, in ms; 0 for none.
inline std::uint32_t commandTimeoutMs() {
  const char* text = std::getenv("VXBRIDGE_COMMAND_TIMEOUT_MS");
  std::uint32_t ms = 0;
  return text != nullptr && parseCommandTimeout(text, ms) ? ms : 0;
}

}  // namespace vxtools
