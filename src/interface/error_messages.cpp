#include "error_messages.h"

#include <cstdio>
#include <cstring>

#include "vxbridge.h"
#include "command_calls.h"
#include "result_buffer.h"
#include "result_table.h"

namespace vxb {
namespace {

#define VX_CHECK_CODE(code, name, en, es, ca) \
  static_assert(VX_##name == (code), "public result code matches the message table");
VX_RESULT_TABLE(VX_CHECK_CODE)
#undef VX_CHECK_CODE

#define VX_ENGLISH(code, name, en, es, ca) en,
#define VX_SPANISH(code, name, en, es, ca) es,
#define VX_CATALAN(code, name, en, es, ca) ca,
const char* const kEnglish[] = {VX_RESULT_TABLE(VX_ENGLISH)};
const char* const kSpanish[] = {VX_RESULT_TABLE(VX_SPANISH)};
const char* const kCatalan[] = {VX_RESULT_TABLE(VX_CATALAN)};
#undef VX_ENGLISH
#undef VX_SPANISH
#undef VX_CATALAN

constexpr int32_t kLowestCode = -20;
static_assert(sizeof kEnglish / sizeof kEnglish[0] == 21, "21 codes, 0 to -20");

}  // namespace

const char* const kLanguageCodes[3] = {"eng", "spa", "cat"};

int LanguagePosition(const char* language) {
  if (language == nullptr) return -1;
  for (int i = 0; i < 3; ++i) {
    if (std::strncmp(language, kLanguageCodes[i], 3) == 0) return i;
  }
  return -1;
}

const char* MessageText(int32_t languageIndex, int32_t code) {
  if (code > 0 || code < kLowestCode) return nullptr;
  const char* const* table = languageIndex == 1 ? kSpanish : languageIndex == 2 ? kCatalan : kEnglish;
  return table[-code];
}

int32_t LocalMessage(int32_t languageIndex, int32_t code, char** text) {
  const char* message = MessageText(languageIndex, code);
  if (message == nullptr) return VX_E_INVALID_PARAMETER;
  const auto n = static_cast<uint32_t>(std::strlen(message));
  auto* block = static_cast<char*>(AllocResultUnfilled(n + 1));
  *text = block;
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  std::memcpy(block, message, n + 1);
  return VX_OK;
}

}  // namespace vxb

using namespace vxb;

extern "C" {

VxResult VXAPI VxGetErrorStringA(const char* language, int32_t code, char** text) {
  int position = LanguagePosition(language);
  if (position < 0) position = 0;
  if (code <= 0) return LocalMessage(position, code, text);

  char arguments[32];
  std::snprintf(arguments, sizeof arguments, "'%s',%x", kLanguageCodes[position],
                static_cast<unsigned>(code));
  if (int32_t rc = VxSendCmdA("GetErrorString", arguments); rc != VX_OK) return rc;

  Answer* r = HoldLastResponse();
  const uint32_t length = r != nullptr ? r->length : 0;
  auto* block = static_cast<char*>(AllocResultUnfilled(length + 1));
  *text = block;
  if (block != nullptr) {
    if (length > 0) std::memcpy(block, r->text, length);
    block[length] = 0;
  }
  LetGo(r);
  return block != nullptr ? VX_OK : VX_E_NOT_ENOUGH_MEMORY;
}

VxResult VXAPI VxGetErrorMessageA(const char* language, int32_t code, char* buffer, int32_t* size) {
  // A size of 0 copies nothing and gives the lookup's result; a negative
  // one fits no buffer.
  if (size == nullptr || *size < 0 || (buffer == nullptr && *size > 0)) {
    return VX_E_INVALID_PARAMETER;
  }
  char* message = nullptr;
  const int32_t rc = VxGetErrorStringA(language, code, &message);
  if (message != nullptr) {
    if (*size > 0) std::memset(buffer, 0, static_cast<size_t>(*size));
    const auto length = static_cast<int32_t>(std::strlen(message));
    const int32_t n = *size < length ? *size : length;
    *size = n;
    if (n > 0) std::memcpy(buffer, message, static_cast<size_t>(n));
    VxFreeA(message);
  }
  return rc;
}

}  // extern "C"
