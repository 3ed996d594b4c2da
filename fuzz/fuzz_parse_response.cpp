// ParseResponse on any body, against the layout worked out field by field:
// "RET " code "," length "," payload, the header text ending at the first
// NUL; code -10 when malformed, never another negative code; the payload
// runs to the end of the body (NULs included), cut to what is there, none
// when empty. The parse never looks past the given length, and a response
// framed as "RET %d,%d," + payload from the input reads back.
#include <algorithm>
#include <tuple>

#include "fuzz_check.h"
#include "transport/wire_format.h"

namespace {

using Parsed = std::tuple<const uint8_t*, uint32_t, int32_t>;  // payload, its length, code

Parsed Parse(const uint8_t* text, size_t size) {
  uint32_t length = 0xDEADBEEF;
  int32_t code = 0x5A5A5A5A;
  const uint8_t* payload = vxb::ParseResponse(text, static_cast<uint32_t>(size), &length, &code);
  return {payload, length, code};
}

// Decimal digits only (a value past 32 bits reads as 0xFFFFFFFF).
bool Digits(const std::string& field, uint32_t* value) {
  uint64_t v = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(c - '0'), 0xFFFFFFFFu);
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

Parsed Reference(const uint8_t* data, size_t size) {
  const Parsed malformed{nullptr, 0, -10};
  if (!vxbfuzz::Tagged(data, size, "RET ")) return malformed;
  const std::string header = vxbfuzz::CText(data, size);
  const size_t comma1 = header.find(',', 4);
  const std::string codeField = header.substr(4, comma1 - 4);
  uint32_t code = 0;
  // A code needs a digit; one past the signed range is malformed, not one of
  // the library's own negative results.
  if (codeField.empty() || !Digits(codeField, &code) || code > 0x7FFFFFFFu) return malformed;
  const size_t comma2 = comma1 == std::string::npos ? comma1 : header.find(',', comma1 + 1);
  uint32_t declared = 0;
  if (comma2 == std::string::npos || !Digits(header.substr(comma1 + 1, comma2 - comma1 - 1), &declared))
    return {nullptr, 0, static_cast<int32_t>(code)};
  const auto length = static_cast<uint32_t>(std::min<size_t>(declared, size - comma2 - 1));
  return {length > 0 ? data + comma2 + 1 : nullptr, length, static_cast<int32_t>(code)};
}

}  // namespace

VXB_FUZZ_ENTRY(parse_response) {
  if (size > (1 << 20)) return 0;
  VXB_CHECK(Parse(nullptr, size) == Parsed(nullptr, 0, -10));  // no text at all
  VXB_CHECK(Parse(data, size) == Reference(data, size));
  if (size > 0) VXB_CHECK(Parse(data, size - 1) == Reference(data, size - 1));
  if (size < 4) return 0;

  const auto c = static_cast<int32_t>(vxbfuzz::Le32(data) & 0x7FFFFFFFu);
  std::string message = "RET " + std::to_string(c) + "," + std::to_string(size - 4) + ",";
  const size_t at = message.size();
  message.append(reinterpret_cast<const char*>(data + 4), size - 4);
  const auto* m = reinterpret_cast<const uint8_t*>(message.data());
  VXB_CHECK(Parse(m, message.size()) == Parsed(size == 4 ? nullptr : m + at, static_cast<uint32_t>(size - 4), c));
  return 0;
}
