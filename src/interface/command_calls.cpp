#include "command_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../../include/vxbridge.h"
#include "../transport/wire_format.h"
#include "error_messages.h"
#include "library_state.h"
#include "result_buffer.h"

namespace vxb {
namespace {

// Frames the command with send, waits for the answer and keeps its text as
// the last response.
template <typename SendFn>
int32_t RunCommand(SendFn send) {
  LibraryState& s = State();
  s.lastResponse = nullptr;
  s.lastResponseLength = 0;
  if (!s.Connected()) return -3;
  int sent;
  try {
    sent = send(s.link);  // builds the message text: may run out of memory
  } catch (...) {
    return -11;
  }
  if (sent != 0) return sent;
  // The answer arrives as a block of its own, which stays with the library
  // state until the next answer replaces it: the last response points into
  // it, and the reader never touches it again.
  RecvBuffer answer;
  if (int rc = s.responseSignal.Wait(&answer); rc != 0) return rc;
  s.responseSignal.GiveSpare(s.lastAnswer);
  s.lastAnswer = answer;

  uint32_t length = 0;
  int32_t code = -10;
  const uint8_t* payload = ParseResponse(s.lastAnswer.data, s.lastAnswer.used, &length, &code);
  s.lastResponse = payload;
  s.lastResponseLength = payload != nullptr ? length : 0;
  return code;
}

}  // namespace

LibraryResponse LastResponse() {
  const LibraryState& s = State();
  return {s.lastResponse, s.lastResponseLength};
}

int32_t RunSystemCommand(const char* text) {
  return RunCommand([text](SocketLink& link) { return SendSystemCall(link, text); });
}

int32_t FetchProductVersion(const char** text) {
  LibraryState& s = State();
  if (s.productVersionCache[0] == 0) {
    if (int32_t rc = VxSendCmdA("VxProductVersion", ""); rc != 0) return rc;
    const LibraryResponse r = LastResponse();
    if (r.length > 0) {
      // Measured up to its first NUL, cut to 511 characters.
      const size_t n = strnlen(reinterpret_cast<const char*>(r.data), r.length);
      const size_t kept = n < sizeof s.productVersionCache - 1 ? n : sizeof s.productVersionCache - 1;
      std::memcpy(s.productVersionCache, r.data, kept);
      s.productVersionCache[kept] = 0;
    }
  }
  *text = s.productVersionCache;
  return 0;
}

}  // namespace vxb

using namespace vxb;

extern "C" {

VxResult VXAPI VxSendCmdA(const char* command, const char* arguments) {
  if (command == nullptr || arguments == nullptr) {
    State().lastResponse = nullptr;
    State().lastResponseLength = 0;
    return -1;
  }
  return RunCommand(
      [command, arguments](SocketLink& link) { return SendCall(link, command, arguments); });
}

VxResult VXAPI VxSendCmdW(const VxWChar* command, const VxWChar* arguments) {
  char* c = NarrowText(command);
  if (c == nullptr) return -11;
  char* a = NarrowText(arguments);
  if (a == nullptr) {
    FreeResult(c);
    return -11;
  }
  const int32_t rc = VxSendCmdA(c, a);
  FreeResult(c);
  FreeResult(a);
  return rc;
}

VxResult VXAPI VxWaitFor(void) { return RunSystemCommand("FLUSH"); }

VxResult VXAPI VxCancelAll(void) { return RunSystemCommand("CANCELALL"); }

VxResult VXAPI VxGetLastResponseA(uint32_t* length, char** text) {
  const LibraryResponse r = LastResponse();
  *length = r.length;
  if (r.length == 0) {
    *text = nullptr;
    return 0;
  }
  auto* block = static_cast<char*>(AllocResult(r.length + 1));
  if (block == nullptr) return -11;
  std::memcpy(block, r.data, r.length);
  block[r.length] = 0;
  *text = block;
  return 0;
}

VxResult VXAPI VxGetLastResponseW(uint32_t* length, VxWChar** text) {
  const LibraryResponse r = LastResponse();
  *length = r.length;
  if (r.length == 0) {
    *text = nullptr;
    return 0;
  }
  VxWChar* block = WidenBytes(reinterpret_cast<const char*>(r.data), r.length);
  if (block == nullptr) return -11;
  *text = block;
  return 0;
}

VxResult VXAPI VxLastVexaErrorMessageA(char* buffer, int32_t* size) {
  if (buffer == nullptr || size == nullptr || *size <= 0) return -1;
  uint32_t length = 0;
  char* copy = nullptr;
  if (int32_t rc = VxGetLastResponseA(&length, &copy); rc != 0) return rc;
  std::memset(buffer, 0, static_cast<size_t>(*size));
  const int32_t n = static_cast<uint32_t>(*size) < length ? *size : static_cast<int32_t>(length);
  if (n > 0) std::memcpy(buffer, copy, static_cast<size_t>(n));
  *size = n;
  VxFreeA(copy);
  return 0;
}

VxResult VXAPI VxGetRemoteProductId(int32_t* id) {
  if (!State().Connected()) return -3;
  if (VxSendCmdA("VxGetTypeViewer", "") != 0) {
    *id = 0;
    return 0;
  }
  uint32_t length = 0;
  char* copy = nullptr;
  if (VxGetLastResponseA(&length, &copy) != 0 || copy == nullptr) {
    *id = 0;
    return 0;
  }
  *id = std::atoi(copy);
  VxFreeA(copy);
  return 0;
}

VxResult VXAPI VxGetRemoteProductVersionA(char** text) {
  const char* cached = nullptr;
  if (int32_t rc = FetchProductVersion(&cached); rc != 0) {
    *text = nullptr;
    return rc;
  }
  const auto n = static_cast<uint32_t>(std::strlen(cached));
  auto* block = static_cast<char*>(AllocResult(n + 1));
  if (block == nullptr) return -11;
  std::memcpy(block, cached, n + 1);
  *text = block;
  return 0;
}

VxResult VXAPI VxGetRemoteProductVersionW(VxWChar** text) {
  const char* cached = nullptr;
  if (int32_t rc = FetchProductVersion(&cached); rc != 0) {
    *text = nullptr;
    return rc;
  }
  VxWChar* block = WidenText(cached);
  if (block == nullptr) return -11;
  *text = block;
  return 0;
}

VxResult VXAPI VxSetLanguageA(const char* code) {
  if (code == nullptr || std::strlen(code) != 3) return -7;
  LibraryState& s = State();
  if (int position = LanguagePosition(code); position >= 0) s.languageIndex = position;
  char arguments[8];
  std::snprintf(arguments, sizeof arguments, "'%s'", kLanguageCodes[s.languageIndex]);
  return VxSendCmdA("VxSetLanguage", arguments);
}

VxResult VXAPI VxSetLanguageW(const VxWChar* code) {
  if (code == nullptr) return -7;
  char* c = NarrowText(code);
  if (c == nullptr) return -11;
  const int32_t rc = VxSetLanguageA(c);
  FreeResult(c);
  return rc;
}

}  // extern "C"
