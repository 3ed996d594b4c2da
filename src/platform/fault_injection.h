// Internal to the platform layer: whether an injected fault applies.
#pragma once

#include <cstdint>

#include "platform.h"
#include "test_hooks.h"

namespace vxb::plat {
bool AllocShouldFail(uint32_t size);
// The error injected for the next call on s, taken (0: none).
int TakeInjectedSocketError(Socket s);
bool HostLookupShouldFail();
bool ModuleListShouldFail();
// True for the thread start that SetThreadStartFailure picked.
bool ThreadStartShouldFail();
}  // namespace vxb::plat
