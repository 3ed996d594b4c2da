#include "command_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vxbridge.h"
#include "transport/wire_format.h"
#include "error_messages.h"
#include "library_state.h"
#include "result_buffer.h"

namespace vxb {
namespace {

// A command's turn: a host command holds the command lock from before its
// send until its answer is taken, so host threads never take each other's
// answers. A command from inside a handler (on the dispatcher thread) goes
// without it: a host command may hold the lock while the viewer waits for
// that handler's answer.
class CommandTurn {
 public:
  explicit CommandTurn(LibraryState& s)
      : lock_(s.dispatcher.IsCurrentThread() ? nullptr : &s.commandLock) {
    if (lock_ != nullptr) lock_->Enter();
  }
  ~CommandTurn() {
    if (lock_ != nullptr) lock_->Leave();
  }
  CommandTurn(const CommandTurn&) = delete;
  CommandTurn& operator=(const CommandTurn&) = delete;

  ResponseSignal::Role role() const {
    return lock_ != nullptr ? ResponseSignal::kHostCommand : ResponseSignal::kHandlerCommand;
  }

 private:
  Lock* lock_;
};

// Frames the command with send, waits for the answer and keeps it as the
// calling thread's latest response (none when the command failed).
template <typename SendFn>
int32_t RunCommand(SendFn send) {
  LibraryState& s = State();
  CommandTurn turn(s);
  Answer* answer = nullptr;
  const int32_t rc = [&]() -> int32_t {
    if (!s.Connected()) return -3;
    const uint64_t call =
        turn.role() == ResponseSignal::kHandlerCommand ? s.dispatcher.RunningCall() : 0;
    if (!s.responseSignal.Register(turn.role(), call)) return -10;
    int sent;
    try {
      sent = send(s.link);  // builds the message text: may run out of memory
    } catch (...) {
      sent = -11;
    }
    if (sent != 0) {
      s.responseSignal.Withdraw(turn.role());
      return sent;
    }
    const int waited = s.responseSignal.Wait(turn.role(), s.commandTimeoutMs.load(), &answer);
    if (waited == ResponseSignal::kTimedOut) {
      // The answer may still come and would be taken by the next command:
      // the connection ends here, and the reader's ordinary way out runs
      // the BrokenHandler.
      s.link.CloseData();
      return -6;
    }
    return waited != 0 ? waited : answer->code;
  }();
  s.lastAnswers.Keep(answer);
  return rc;
}

}  // namespace

Answer* HoldLastResponse() { return State().lastAnswers.Current(); }

int32_t RunSystemCommand(const char* text) {
  return RunCommand([text](SocketLink& link) { return SendSystemCall(link, text); });
}

int32_t FetchProductVersion(char* text) {
  LibraryState& s = State();
  uint32_t epoch;
  {
    Guard g(s.productVersionLock);
    std::memcpy(text, s.productVersionCache, sizeof s.productVersionCache);
    if (text[0] != 0) return 0;
    epoch = s.productVersionEpoch;
  }
  // No lock is held while the command waits: a handler asking for the
  // version meanwhile must not wait for a host command.
  if (int32_t rc = VxSendCmdA("VxProductVersion", ""); rc != 0) return rc;
  Answer* r = HoldLastResponse();
  if (r != nullptr && r->length > 0) {
    // Measured up to its first NUL, cut to 511 characters.
    const size_t n = strnlen(reinterpret_cast<const char*>(r->text), r->length);
    const size_t kept = n < sizeof s.productVersionCache - 1 ? n : sizeof s.productVersionCache - 1;
    std::memcpy(text, r->text, kept);
    text[kept] = 0;
  }
  LetGo(r);
  Guard g(s.productVersionLock);
  // A connection made meanwhile asks again.
  if (epoch == s.productVersionEpoch) {
    std::memcpy(s.productVersionCache, text, sizeof s.productVersionCache);
  }
  return 0;
}

}  // namespace vxb

using namespace vxb;

extern "C" {

VxResult VXAPI VxSendCmdA(const char* command, const char* arguments) {
  if (command == nullptr || arguments == nullptr) {
    State().lastAnswers.Keep(nullptr);
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
  Answer* r = HoldLastResponse();
  *length = r != nullptr ? r->length : 0;
  if (*length == 0) {
    LetGo(r);
    *text = nullptr;
    return 0;
  }
  auto* block = static_cast<char*>(AllocResultUnfilled(r->length + 1));
  if (block != nullptr) {
    std::memcpy(block, r->text, r->length);
    block[r->length] = 0;
    *text = block;
  }
  LetGo(r);
  return block != nullptr ? 0 : -11;
}

VxResult VXAPI VxGetLastResponseW(uint32_t* length, VxWChar** text) {
  Answer* r = HoldLastResponse();
  *length = r != nullptr ? r->length : 0;
  if (*length == 0) {
    LetGo(r);
    *text = nullptr;
    return 0;
  }
  VxWChar* block = WidenBytes(reinterpret_cast<const char*>(r->text), r->length);
  LetGo(r);
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
  char cached[512];
  if (int32_t rc = FetchProductVersion(cached); rc != 0) {
    *text = nullptr;
    return rc;
  }
  const auto n = static_cast<uint32_t>(std::strlen(cached));
  auto* block = static_cast<char*>(AllocResultUnfilled(n + 1));
  if (block == nullptr) return -11;
  std::memcpy(block, cached, n + 1);
  *text = block;
  return 0;
}

VxResult VXAPI VxGetRemoteProductVersionW(VxWChar** text) {
  char cached[512];
  if (int32_t rc = FetchProductVersion(cached); rc != 0) {
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
  if (code == nullptr) return -7;
  char* c = NarrowText(code);
  if (c == nullptr) return -11;
  const int32_t rc = VxSetLanguageA(c);
  FreeResult(c);
  return rc;
}

}  // extern "C"
