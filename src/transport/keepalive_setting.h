// The keep-alive times of every data socket: the defaults, or what the host
// asks for in VXBRIDGE_KEEPALIVE_MS.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vxb {

// A peer gone silent is given up about a minute after the last traffic:
// 30 s idle, then 5 probes 5 s apart.
constexpr plat::KeepAlive kDefaultKeepAlive{30000, 5000, 5};

// "idle,interval,count": decimal digits only, one comma between the three,
// nothing else. idle 1000 to 32767000 ms, interval 100 to 32767000 ms,
// count 1 to 127 probes (the most Linux takes: 32767 s, 127 probes). False,
// with *k untouched, for anything else.
bool ParseKeepAlive(const char* text, plat::KeepAlive* k);

// What VXBRIDGE_KEEPALIVE_MS asks for now; the defaults when it is unset or
// invalid (a half-valid value is no choice the host made). For an invalid
// value *note (when given) says what was ignored and what applies instead;
// it is left empty otherwise.
plat::KeepAlive KeepAliveFromEnvironment(std::string* note = nullptr);

}  // namespace vxb
