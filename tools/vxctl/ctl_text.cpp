#include "ctl_text.h"

#include <cstdio>
#include <cstring>

namespace vxctl {
namespace {

// Code points of the bytes 0x80..0x9F in Windows-1252; 0 marks the bytes
// the code page leaves undefined.
const std::uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    std::uint32_t cp = c;
    if (c >= 0x80 && c < 0xA0) cp = kHighControls[c - 0x80] != 0 ? kHighControls[c - 0x80] : 0xFFFD;
    appendUtf8(out, cp);
  }
  return out;
}

std::string utf8ToCp1252(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t extra = (c >= 0xC2 && c < 0xE0) ? 1 : (c >= 0xE0 && c < 0xF0) ? 2
                              : (c >= 0xF0 && c < 0xF5) ? 3 : 0;
    std::uint32_t cp = c;
    bool sequence = extra > 0 && i + extra < text.size();
    if (sequence) {
      cp = c & (0x3Fu >> extra);
      for (std::size_t k = 1; k <= extra && sequence; ++k) {
        const auto cc = static_cast<unsigned char>(text[i + k]);
        sequence = (cc & 0xC0) == 0x80;
        cp = (cp << 6) | (cc & 0x3Fu);
      }
    }
    if (!sequence) {  // ASCII, or a byte that starts no valid sequence
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    i += extra + 1;
    char mapped = '?';
    if (cp >= 0xA0 && cp <= 0xFF) {
      mapped = static_cast<char>(cp);
    } else {
      for (int k = 0; k < 32; ++k)
        if (kHighControls[k] != 0 && kHighControls[k] == cp) mapped = static_cast<char>(0x80 + k);
    }
    out += mapped;
  }
  return out;
}

std::string escapeBytes(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c >= 0x20 && c < 0x7F) out += ch;
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string fieldText(const char* field, std::size_t capacity, bool trimBlanks) {
  const void* nul = std::memchr(field, 0, capacity);
  std::size_t n = nul == nullptr ? capacity : static_cast<std::size_t>(static_cast<const char*>(nul) - field);
  if (trimBlanks) {
    while (n > 0 && field[n - 1] == ' ') --n;
  }
  return std::string(field, n);
}

bool parseInteger(const std::string& text, long long low, long long high, long long& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 18) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < low || v > high) return false;
  value = v;
  return true;
}

}  // namespace vxctl
