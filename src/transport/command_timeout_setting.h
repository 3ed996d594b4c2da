// The command time-out a connection gets: what the host asks for in
// VXBRIDGE_COMMAND_TIMEOUT_MS as the connection starts. Read here, beside
// the keep-alive, so that the trace of the connection can say when the
// value was not taken.
#pragma once

#include <cstdint>
#include <string>

namespace vxb {

// Decimal digits only, nothing else: 1 to 4294967294 ms is that limit, 0
// is no limit (plat::kInfinite). False, with *ms untouched, for anything
// else: a sign, a blank, a unit, an exponent, a larger number.
bool ParseCommandTimeout(const char* text, uint32_t* ms);

// What the variable asks for now: no limit when it is unset or invalid.
// For an invalid value *note (when given) says what was ignored and what
// applies instead; it is left empty otherwise.
uint32_t CommandTimeoutSetting(std::string* note = nullptr);

// A setting's value as a note can show it: quoted, at most 40 bytes, every
// byte outside printable ASCII as '?' (a note is one line of the trace).
std::string QuotedSetting(const char* value, int32_t length);

}  // namespace vxb
