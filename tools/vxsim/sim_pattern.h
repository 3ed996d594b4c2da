// The simple patterns of scripts and replays: '*' stands for any run of
// bytes (none included), '?' for any one byte, and '\' takes the byte after
// it literally; every other byte stands for itself.
#pragma once

#include <string>

namespace vxsim {

bool matchesPattern(const std::string& pattern, const std::string& text);

}  // namespace vxsim
