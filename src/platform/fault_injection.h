// Internal to the platform layer: whether an injected fault applies.
#pragma once

#include <cstdint>

namespace vxb::plat {
bool AllocShouldFail(uint32_t size);
}
