// ParseResponse on any response body: the payload never reaches outside
// the body, the code is -10 or not negative, code and payload follow the
// response layout, and what the library sends as a response it reads back.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "transport/wire_format.h"

namespace {

constexpr size_t kMaxInput = 1 << 20;

struct Parsed {
  const uint8_t* payload = nullptr;
  uint32_t length = 0;
  int32_t code = 0;
};

Parsed Parse(const uint8_t* text, size_t size) {
  Parsed p;
  p.length = 0xDEADBEEF;
  p.code = 0x5A5A5A5A;
  p.payload = vxb::ParseResponse(text, static_cast<uint32_t>(size), &p.length, &p.code);
  return p;
}

// A field of decimal digits; a value past 32 bits reads as 0xFFFFFFFF.
// False when it holds anything else.
bool Digits(const std::string& field, uint32_t* value) {
  uint64_t v = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    v = std::min<uint64_t>(v * 10u + static_cast<uint64_t>(c - '0'), 0xFFFFFFFFu);
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// The expected outcome, worked out on fields: the header text ends at the
// first NUL; "RET " code "," length "," and then the payload, which runs to
// the end of the body (NULs included) and is cut to what is there.
struct Expected {
  int32_t code = -10;
  size_t offset = 0;  // of the payload; 0: none
  uint32_t length = 0;
};

Expected Reference(const uint8_t* data, size_t size) {
  Expected e;
  if (size < 4 || std::memcmp(data, "RET ", 4) != 0) return e;
  const std::string body(reinterpret_cast<const char*>(data), size);
  const size_t textEnd = std::min(body.find('\0'), body.size());
  const std::string header = body.substr(0, textEnd);

  const size_t comma1 = header.find(',', 4);
  const std::string codeField =
      header.substr(4, comma1 == std::string::npos ? std::string::npos : comma1 - 4);
  uint32_t code = 0;
  // A code needs at least one digit.
  if (codeField.empty() || !Digits(codeField, &code)) return e;
  // A viewer's code is never negative: one past the signed range is
  // malformed rather than read as one of the library's own results.
  if (code > 0x7FFFFFFFu) return e;
  e.code = static_cast<int32_t>(code);
  if (comma1 == std::string::npos) return e;
  const size_t comma2 = header.find(',', comma1 + 1);
  uint32_t declared = 0;
  const size_t lengthEnd = comma2 == std::string::npos ? header.size() : comma2;
  if (!Digits(header.substr(comma1 + 1, lengthEnd - comma1 - 1), &declared)) return e;
  if (declared == 0 || comma2 == std::string::npos) return e;
  const size_t present = size - (comma2 + 1);
  const uint32_t length = declared < present ? declared : static_cast<uint32_t>(present);
  if (length == 0) return e;
  e.offset = comma2 + 1;
  e.length = length;
  return e;
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
  // Code from the first bytes (kept non-negative: a negative code is written
  // with a sign, which the parse refuses), payload from the rest, framed as
  // the library frames a response.
  if (size < 4) return;
  uint32_t raw = 0;
  std::memcpy(&raw, data, 4);
  const auto code = static_cast<int32_t>(raw & 0x7FFFFFFFu);
  const size_t payloadLength = size - 4;
  char header[32];
  const int n = std::snprintf(header, sizeof header, "RET %d,%d,", static_cast<int>(code),
                              static_cast<int>(payloadLength));
  VXB_CHECK(n > 0 && static_cast<size_t>(n) < sizeof header);
  std::vector<uint8_t> message(header, header + n);
  message.insert(message.end(), data + 4, data + size);
  const Parsed p = Parse(message.data(), message.size());
  VXB_CHECK(p.code == code);
  if (payloadLength == 0) {
    VXB_CHECK(p.payload == nullptr && p.length == 0);
  } else {
    VXB_CHECK(p.payload == message.data() + n);
    VXB_CHECK(p.length == payloadLength);
  }
}

}  // namespace

VXB_FUZZ_ENTRY(parse_response) {
  if (size > kMaxInput) return 0;

  {
    uint32_t length = 7;
    int32_t code = 7;
    VXB_CHECK(vxb::ParseResponse(nullptr, static_cast<uint32_t>(size), &length, &code) == nullptr);
    VXB_CHECK(length == 0 && code == -10);
  }

  const Parsed p = Parse(data, size);
  const bool tagged = size >= 4 && std::memcmp(data, "RET ", 4) == 0;
  if (!tagged) VXB_CHECK(p.code == -10 && p.payload == nullptr);
  VXB_CHECK(p.code == -10 || p.code >= 0);
  if (p.payload == nullptr) {
    VXB_CHECK(p.length == 0);
  } else {
    // Inside the body, after the header's second ",", never past the end.
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const auto at = reinterpret_cast<uintptr_t>(p.payload);
    VXB_CHECK(at >= begin + 4 && at <= begin + size);
    VXB_CHECK(p.length > 0 && p.length <= begin + size - at);
    VXB_CHECK(p.payload[-1] == ',');
  }

  const Expected e = Reference(data, size);
  VXB_CHECK(p.code == e.code);
  VXB_CHECK(p.length == e.length);
  VXB_CHECK(p.payload == (e.offset == 0 ? nullptr : data + e.offset));

  // The parse depends on the given length only, never on bytes after it.
  if (size > 0) {
    const Parsed shorter = Parse(data, size - 1);
    const Expected es = Reference(data, size - 1);
    VXB_CHECK(shorter.code == es.code && shorter.length == es.length);
  }

  CheckRoundTrip(data, size);
  return 0;
}
