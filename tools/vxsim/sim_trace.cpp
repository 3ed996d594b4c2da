#include "sim_trace.h"

#include "sim_frame.h"

#include <cstdio>

namespace vxsim {

std::string escapeText(const std::string& bytes) {
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

std::string traceFrame(bool sent, const std::string& message) {
  std::string out = std::string(sent ? ">> " : "<< ") + std::to_string(message.size()) +
                    " bytes: " + escapeText(message) + "\n";
  const std::string bytes = frame(message);
  for (std::size_t row = 0; row < bytes.size(); row += 16) {
    char cell[16];
    std::snprintf(cell, sizeof cell, "   %04X ", static_cast<unsigned>(row));
    out += cell;
    std::string ascii;
    for (std::size_t i = row; i < row + 16; ++i) {
      if (i == row + 8) out += " ";
      if (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::snprintf(cell, sizeof cell, " %02X", c);
        out += cell;
        ascii += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + ascii + "|\n";
  }
  return out;
}

}  // namespace vxsim
