#include "command_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vxbridge.h"
#include "transport/wire_format.h"
#include "error_messages.h"
#include "library_state.h"
#include "result_buffer.h"

namespace vxb {
namespace {

// One command on the current session: the message goes out in its turn and
// the answer is paired by the order on the wire, so commands of several
// host threads and of handlers may be in flight together. The answer is
// kept as the calling thread's latest response (none when the command
// failed).
int32_t RunCommand(const SessionRef& session, const char* name, const char* arguments,
                   bool system) {
  Answer* answer = nullptr;
  const int32_t rc = [&]() -> int32_t {
    // Not connected when the call starts: -3. Once it has started, a
    // connection that ends meanwhile is a broken one (-6); so is a
    // handler's own connection that ended under it.
    if (!session) return VX_E_NOT_CONNECTED;
    if (!session->IsUp()) {
      return session.get() == Session::OfThisThread() ? VX_E_COMMUNICATION_BROKEN
                                                      : VX_E_NOT_CONNECTED;
    }
    std::string message;
    try {
      message = system ? FormatSystemCall(name) : FormatCall(name, arguments);
    } catch (...) {
      plat::RethrowThreadExit();
      return VX_E_NOT_ENOUGH_MEMORY;
    }
    const int sent = session->Command(message, &answer);
    return sent != VX_OK ? sent : answer->code;
  }();
  KeepLastResponse(answer);
  return rc;
}

}  // namespace

// A handler's latest response is kept by its own session for the handler,
// a host thread's by the library for that thread; either is the process's
// latest, which a thread that has sent no command reads.
void KeepLastResponse(Answer* answer) {
  if (Session* own = Session::OfThisThread()) {
    Hold(answer);
    State().lastAnswers.KeepProcessLatest(answer);
    own->KeepHandlerAnswer(answer);
  } else {
    State().lastAnswers.Keep(answer);
  }
}

Answer* HoldLastResponse() {
  if (Session* own = Session::OfThisThread()) return own->HoldHandlerAnswer();
  return State().lastAnswers.Current();
}

int32_t RunSystemCommand(const char* text) {
  return RunCommand(State().ForThisThread(), text, nullptr, true);
}

int32_t FetchProductVersion(char* text) {
  const SessionRef session = State().ForThisThread();
  if (session && session->CachedVersion(text)) return VX_OK;
  std::memset(text, 0, 512);
  // Asked on that session, and kept by it: a connection made meanwhile
  // asks again.
  if (int32_t rc = RunCommand(session, "VxProductVersion", "", false); rc != VX_OK) return rc;
  Answer* r = HoldLastResponse();
  if (r != nullptr && r->length > 0) {
    // Measured up to its first NUL, cut to 511 characters.
    const size_t n = strnlen(reinterpret_cast<const char*>(r->text), r->length);
    const size_t kept = n < 511 ? n : 511;
    std::memcpy(text, r->text, kept);
    text[kept] = 0;
  }
  LetGo(r);
  session->CacheVersion(text);
  return VX_OK;
}

}  // namespace vxb

using namespace vxb;

extern "C" {

VxResult VXAPI VxSendCmdA(const char* command, const char* arguments) {
  if (command == nullptr || arguments == nullptr) {
    KeepLastResponse(nullptr);
    return VX_E_INVALID_PARAMETER;
  }
  return RunCommand(State().ForThisThread(), command, arguments, false);
}

VxResult VXAPI VxSendCmdW(const VxWChar* command, const VxWChar* arguments) {
  char* c = NarrowText(command);
  if (c == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  char* a = NarrowText(arguments);
  if (a == nullptr) {
    FreeResult(c);
    return VX_E_NOT_ENOUGH_MEMORY;
  }
  const int32_t rc = VxSendCmdA(c, a);
  FreeResult(c);
  FreeResult(a);
  return rc;
}

VxResult VXAPI VxWaitFor(void) { return RunSystemCommand("FLUSH"); }

VxResult VXAPI VxCancelAll(void) { return RunSystemCommand("CANCELALL"); }

VxResult VXAPI VxGetLastResponseA(uint32_t* length, char** text) {
  Answer* r = HoldLastResponse();
  *length = r != nullptr ? r->length : 0;
  if (*length == 0) {
    LetGo(r);
    *text = nullptr;
    return VX_OK;
  }
  auto* block = static_cast<char*>(AllocResultUnfilled(r->length + 1));
  if (block != nullptr) {
    std::memcpy(block, r->text, r->length);
    block[r->length] = 0;
    *text = block;
  }
  LetGo(r);
  return block != nullptr ? VX_OK : VX_E_NOT_ENOUGH_MEMORY;
}

VxResult VXAPI VxGetLastResponseW(uint32_t* length, VxWChar** text) {
  Answer* r = HoldLastResponse();
  *length = r != nullptr ? r->length : 0;
  if (*length == 0) {
    LetGo(r);
    *text = nullptr;
    return VX_OK;
  }
  VxWChar* block = WidenBytes(reinterpret_cast<const char*>(r->text), r->length);
  LetGo(r);
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  *text = block;
  return VX_OK;
}

VxResult VXAPI VxLastVexaErrorMessageA(char* buffer, int32_t* size) {
  // A size of 0 copies nothing and succeeds; a negative one fits no buffer.
  if (size == nullptr || *size < 0 || (buffer == nullptr && *size > 0)) {
    return VX_E_INVALID_PARAMETER;
  }
  uint32_t length = 0;
  char* copy = nullptr;
  if (int32_t rc = VxGetLastResponseA(&length, &copy); rc != VX_OK) return rc;
  if (*size > 0) std::memset(buffer, 0, static_cast<size_t>(*size));
  const int32_t n = static_cast<uint32_t>(*size) < length ? *size : static_cast<int32_t>(length);
  if (n > 0) std::memcpy(buffer, copy, static_cast<size_t>(n));
  *size = n;
  VxFreeA(copy);
  return VX_OK;
}

VxResult VXAPI VxGetRemoteProductId(int32_t* id) {
  if (!State().Connected()) return VX_E_NOT_CONNECTED;
  if (VxSendCmdA("VxGetTypeViewer", "") != VX_OK) {
    *id = 0;
    return VX_OK;
  }
  uint32_t length = 0;
  char* copy = nullptr;
  if (VxGetLastResponseA(&length, &copy) != VX_OK || copy == nullptr) {
    *id = 0;
    return VX_OK;
  }
  *id = std::atoi(copy);
  VxFreeA(copy);
  return VX_OK;
}

VxResult VXAPI VxGetRemoteProductVersionA(char** text) {
  char cached[512];
  if (int32_t rc = FetchProductVersion(cached); rc != VX_OK) {
    *text = nullptr;
    return rc;
  }
  const auto n = static_cast<uint32_t>(std::strlen(cached));
  auto* block = static_cast<char*>(AllocResultUnfilled(n + 1));
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  std::memcpy(block, cached, n + 1);
  *text = block;
  return VX_OK;
}

VxResult VXAPI VxGetRemoteProductVersionW(VxWChar** text) {
  char cached[512];
  if (int32_t rc = FetchProductVersion(cached); rc != VX_OK) {
    *text = nullptr;
    return rc;
  }
  VxWChar* block = WidenText(cached);
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  *text = block;
  return VX_OK;
}

VxResult VXAPI VxSetLanguageA(const char* code) {
  if (code == nullptr || std::strlen(code) != 3) return VX_E_UNSUPPORTED_LANGUAGE;
  LibraryState& s = State();
  int32_t index = LanguagePosition(code);
  if (index >= 0) {
    s.languageIndex.store(index);
  } else {
    index = s.languageIndex.load();
  }
  char arguments[8];
  std::snprintf(arguments, sizeof arguments, "'%s'", kLanguageCodes[index]);
  return VxSendCmdA("VxSetLanguage", arguments);
}

VxResult VXAPI VxSetLanguageW(const VxWChar* code) {
  if (code == nullptr) return VX_E_UNSUPPORTED_LANGUAGE;
  char* c = NarrowText(code);
  if (c == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  const int32_t rc = VxSetLanguageA(c);
  FreeResult(c);
  return rc;
}

}  // extern "C"
