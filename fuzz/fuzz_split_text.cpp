// SplitText (input: one byte n, a separator of n % 5 bytes, the text): the
// parts are the text cut at each separator in turn, empty parts kept; no
// part for an empty text, the whole text for an empty separator.
#include <vector>

#include "fuzz_check.h"
#include "install/install_registry.h"

VXB_FUZZ_ENTRY(split_text) {
  if (size == 0 || size > (1 << 16)) return 0;
  const size_t n = std::min<size_t>(data[0] % 5, size - 1);
  const std::string separator(reinterpret_cast<const char*>(data + 1), n);
  const std::string text(reinterpret_cast<const char*>(data + 1 + n), size - 1 - n);

  std::vector<std::string> parts = {"stale", "parts"};
  vxb::SplitText(text, parts, separator);
  std::vector<std::string> expected;
  if (separator.empty() && !text.empty()) expected.push_back(text);
  for (size_t at = 0; !separator.empty() && !text.empty();) {
    const size_t found = text.find(separator, at);
    expected.push_back(text.substr(at, found - at));
    if (found == std::string::npos) break;
    at = found + separator.size();
  }
  VXB_CHECK(parts == expected);
  return 0;
}
