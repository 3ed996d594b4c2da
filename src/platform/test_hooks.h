// Faults the tests inject into the platform layer, to reach the library's
// failure paths. Nothing in the library itself calls these; each takes
// effect on both sides of the platform (fault_injection.cpp).
#pragma once

#include <cstdint>

#include "platform.h"

namespace vxb::plat {

// While set, both allocators return null for every request whose size is
// at least the given threshold (0 = off).
void SetAllocFailureThreshold(uint32_t minSize);
// The n-th thread start from now on (1 = the next) fails as when the
// address space is used up; 0 clears it.
void SetThreadStartFailure(uint32_t n);
// While set, every host lookup fails, as when the resolver cannot be
// reached.
void SetHostLookupFailure(bool fail);
// The next Send, SendParts or Recv on s (from any thread) fails at once
// with this Winsock error, without a system call, and LastSocketError
// reports it on that thread. kInvalidSocket clears it.
void InjectSocketError(Socket s, int winsockError);
// While set, no module list can be read, as from a 32-bit process looking
// at a 64-bit one (Windows; POSIX has no module list and ignores it).
void SetModuleListFailure(bool fail);

}  // namespace vxb::plat
