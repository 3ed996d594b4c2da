// Small text helpers of vxctl, free of any operating-system dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vxctl {

// Windows-1252 bytes (the library's and the viewer's messages) as UTF-8.
// The five bytes that Windows-1252 leaves undefined become U+FFFD.
std::string cp1252ToUtf8(const std::string& text);

// UTF-8 text as Windows-1252: characters the code page lacks become '?';
// bytes that are not valid UTF-8 are kept as they are.
std::string utf8ToCp1252(const std::string& text);

// Bytes shown on one line: printable ASCII as is, the rest as \n, \r, \t,
// \\ or \xHH.
std::string escapeBytes(const std::string& bytes);

// A fixed-size text field: up to its first NUL (or the whole field), with
// trailing blanks removed when trimBlanks is set.
std::string fieldText(const char* field, std::size_t capacity, bool trimBlanks);

// Strict decimal integer in [low, high]; optional leading '-'.
bool parseInteger(const std::string& text, long long low, long long high, long long& value);

}  // namespace vxctl
