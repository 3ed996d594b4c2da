// SplitText on any text and separator: the parts joined with the separator
// give back the text, and each cut is at the first separator after the
// previous one.
//
// Input layout: one byte n, then a separator of n % 5 bytes, then the text.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "install/install_registry.h"

namespace {
constexpr size_t kMaxInput = 1 << 16;
}  // namespace

VXB_FUZZ_ENTRY(split_text) {
  if (size == 0 || size > kMaxInput) return 0;
  const size_t separatorLength = std::min<size_t>(data[0] % 5, size - 1);
  const std::string separator(reinterpret_cast<const char*>(data + 1), separatorLength);
  const std::string text(reinterpret_cast<const char*>(data + 1 + separatorLength),
                         size - 1 - separatorLength);

  std::vector<std::string> parts = {"stale", "parts"};
  vxb::SplitText(text, parts, separator);

  if (text.empty()) {
    VXB_CHECK(parts.empty());
    return 0;
  }
  if (separator.empty()) {
    VXB_CHECK(parts.size() == 1 && parts[0] == text);
    return 0;
  }
  VXB_CHECK(!parts.empty());
  VXB_CHECK(parts.size() <= text.size() / separator.size() + 1);

  std::string joined;
  size_t position = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    VXB_CHECK(part.find(separator) == std::string::npos);
    VXB_CHECK(text.compare(position, part.size(), part) == 0);
    const size_t found = text.find(separator, position);
    if (i + 1 < parts.size()) {
      VXB_CHECK(found == position + part.size());
      position = found + separator.size();
      joined += part;
      joined += separator;
    } else {
      VXB_CHECK(found == std::string::npos);
      VXB_CHECK(position + part.size() == text.size());
      joined += part;
    }
  }
  VXB_CHECK(joined == text);
  return 0;
}
