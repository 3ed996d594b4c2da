#include "sim_pattern.h"

#include <cstddef>

namespace vxsim {

// Greedy matching with one backtrack point: the last '*' seen gives up one
// more byte when the rest does not fit. Linear in practice, never recursive,
// so a 2 MB argument text cannot blow the stack.
bool matchesPattern(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0;
  std::size_t starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starT = t;
      continue;
    }
    if (p < pattern.size()) {
      const bool escaped = pattern[p] == '\\' && p + 1 < pattern.size();
      const char want = escaped ? pattern[p + 1] : pattern[p];
      if ((!escaped && want == '?') || want == text[t]) {
        p += escaped ? 2 : 1;
        ++t;
        continue;
      }
    }
    if (starP == std::string::npos) return false;
    p = starP;
    t = ++starT;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace vxsim
