#include "wire_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vxbridge.h"

namespace vxb {
namespace {
constexpr int32_t kTagLength = 4;
}  // namespace

bool HasTag(const uint8_t* bytes, uint32_t length, const char (&tag)[5]) {
  return length >= static_cast<uint32_t>(kTagLength) && std::memcmp(bytes, tag, kTagLength) == 0;
}

std::string FormatCall(const char* name, const char* arguments) {
  std::string m = "EXE ";
  m += name;
  m += '(';
  m += arguments;
  m += ")\n";
  return m;
}

std::string FormatSystemCall(const char* text) {
  std::string m = "SYS ";
  m += text;
  m += '\n';
  return m;
}

uint32_t FormatResponseHeader(char (&out)[32], int32_t code, int32_t payloadLength) {
  const int n = std::snprintf(out, sizeof out, "RET %d,%d,", static_cast<int>(code),
                              static_cast<int>(payloadLength));
  return static_cast<uint32_t>(n);
}

bool ParseCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message) {
  if (!HasTag(bytes, length, "EXE ")) return false;
  message.kind = Call;
  message.name.clear();
  message.args.clear();
  uint32_t i = kTagLength;
  while (i < length && bytes[i] != '(') message.name += static_cast<char>(bytes[i++]);
  ++i;  // the "("
  for (; i < length; ++i) {
    const uint8_t c = bytes[i];
    if (c == '\n') continue;
    // A ")" is kept unless it closes the call (last byte, or last before
    // the line feed).
    if (c == ')' && (i + 1 >= length || bytes[i + 1] == '\n')) continue;
    message.args += static_cast<char>(c);
  }
  return true;
}

bool ParseSystemCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message) {
  if (!HasTag(bytes, length, "SYS ")) return false;
  message.kind = Call;
  message.name = "SYS";
  message.args.clear();
  for (uint32_t i = kTagLength; i < length; ++i) {
    if (bytes[i] != '\n') message.args += static_cast<char>(bytes[i]);
  }
  return true;
}

const uint8_t* ParseResponse(const uint8_t* text, uint32_t bodyLength, uint32_t* payloadLength,
                             int32_t* code) {
  *payloadLength = 0;
  *code = -10;
  if (text == nullptr || !HasTag(text, bodyLength, "RET ")) return nullptr;
  const uint8_t* end = text + bodyLength;
  const uint8_t* p = text + kTagLength;

  // Reads decimal digits up to "," or the end of the header text (a NUL
  // ends it too); false on any other byte. A value past 32 bits stays at
  // 0xFFFFFFFF instead of wrapping round to a small one ("4294967296" is
  // not 0). *digits counts the digits read.
  auto number = [&](uint32_t* value, int* digits) {
    uint64_t v = 0;
    *digits = 0;
    for (; p < end && *p != ',' && *p != 0; ++p, ++*digits) {
      if (*p < '0' || *p > '9') return false;
      v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(*p - '0'), 0xFFFFFFFFu);
    }
    *value = static_cast<uint32_t>(v);
    return true;
  };

  uint32_t value = 0;
  int digits = 0;
  // A code without digits is no code (it would read as 0, success). Digits
  // beyond 2147483647 would come out negative, posing as one of the
  // library's own results (4294967290 as -6, "broken", on a live link): a
  // viewer's code is never negative, so such an answer is malformed.
  if (!number(&value, &digits) || digits == 0 || value > 0x7FFFFFFFu) return nullptr;
  *code = static_cast<int32_t>(value);
  if (p >= end || *p == 0) return nullptr;
  ++p;  // ","
  uint32_t declared = 0;
  if (!number(&declared, &digits)) return nullptr;
  if (declared == 0 || p >= end || *p == 0) return nullptr;
  ++p;  // "," before the payload
  // A declared length beyond the received bytes is cut to what is there.
  const uint32_t present = static_cast<uint32_t>(end - p);
  *payloadLength = declared < present ? declared : present;
  return *payloadLength == 0 ? nullptr : p;
}

}  // namespace vxb
