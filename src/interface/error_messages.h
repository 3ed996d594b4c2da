// Messages of result codes.
#pragma once

#include <cstdint>

namespace vxb {

// Language positions shared with VxSetLanguageA: 0 eng, 1 spa, 2 cat.
extern const char* const kLanguageCodes[3];
// Position of the first three characters of language, or -1 for none.
int LanguagePosition(const char* language);
// The library's own message of code (0 .. -20) in a new result buffer.
int32_t LocalMessage(int32_t languageIndex, int32_t code, char** text);
// The constant table entry (null outside 0 .. -20); position as above,
// English for any other value.
const char* MessageText(int32_t languageIndex, int32_t code);

}  // namespace vxb
