// The server-mode calls: the library listens, accepts the viewer and the
// host answers each of its petitions itself.
#include <cstring>
#include <memory>
#include <string>

#include "vxbridge.h"
#include "library_state.h"
#include "result_buffer.h"
#include "transport/wire_format.h"
#include "transport/wire_trace.h"

using namespace vxb;

extern "C" {

VxResult VXAPI VxConnectAsServer(uint32_t port, int32_t mode) {
  // From a handler: refused before anything else (see VxConnectA).
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  LibraryState& s = State();
  Guard one(s.connectLock);
  const SessionRef old = s.Current();
  if (old) old->ForgetVersion();
  if (mode != 0) return VX_E_INVALID_PARAMETER;
  // A connection still open ends first; its threads finish on their own.
  if (old) old->Close();
  if (int rc = s.listener.Open(static_cast<uint16_t>(port)); rc != VX_OK) return rc;
  s.serverMode.store(true);
  return VX_OK;
}

VxResult VXAPI VxAccept(void) {
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  LibraryState& s = State();
  Guard one(s.connectLock);
  if (!s.listener.IsOpen()) return VX_E_HOST_NOT_FOUND;
  // The viewer attached so far is let go, and everything of it with its
  // session: its calls, what the host owed it, its version.
  if (const SessionRef old = s.Current()) old->Close();
  {
    Guard g(s.petitionLock);
    s.petitionReady = false;
  }
  const plat::Socket accepted = s.listener.Accept();
  if (accepted == plat::kInvalidSocket) return VX_E_NOT_CONNECTED;
  try {
    auto link = std::make_unique<SocketLink>();
    if (int rc = link->Adopt(accepted); rc != VX_OK) return rc;
    link->SetTrace(WireTrace::Begin("accept on port " + std::to_string(s.listener.Port())));
    return BeginSession(std::move(link), SessionSettings(true, nullptr, nullptr));
  } catch (...) {
    plat::RethrowThreadExit();
    return VX_E_NOT_ENOUGH_MEMORY;
  }
}

uint8_t VXAPI VxRecvCmd(CallRecord* record) {
  if (record == nullptr) return 0;
  LibraryState& s = State();
  // One queue for the process: a call a client connection left is still
  // there after the next connect, before that connection's own.
  if (!s.keptCalls.Take(record)) return 0;
  if (!s.serverMode.load()) return 1;
  const std::string text = PetitionText(*record);
  Guard g(s.petitionLock);
  s.petition.Store(text.data(), static_cast<uint32_t>(text.size()));
  s.petitionReady = true;
  return 1;
}

int32_t VXAPI VxAvailableBytes(void) {
  LibraryState& s = State();
  if (!s.Connected()) {
    Guard g(s.petitionLock);
    s.petitionReady = false;
    return -1;
  }
  auto waiting = [&s]() -> int32_t {
    Guard g(s.petitionLock);
    return s.petitionReady ? static_cast<int32_t>(s.petition.Size()) : -1;
  };
  if (int32_t n = waiting(); n >= 0) return n;
  CallRecord scratch;
  if (VxRecvCmd(&scratch) != 0) {
    if (int32_t n = waiting(); n >= 0) return n;
  }
  return 0;
}

VxResult VXAPI VxReadRawPetition(const uint8_t** data, uint32_t* size) {
  if (data == nullptr || size == nullptr) return VX_E_INVALID_PARAMETER;
  LibraryState& s = State();
  Guard g(s.petitionLock);
  if (!s.petitionReady) return VX_E_NO_DATA;
  s.petitionReady = false;
  *data = s.petition.Data();
  *size = s.petition.Size();
  return VX_OK;
}

VxResult VXAPI VxSendRetCmd(int32_t code, const void* data, int32_t length) {
  if (length < 0 || (data == nullptr && length > 0)) return VX_E_INVALID_PARAMETER;
  LibraryState& s = State();
  const SessionRef session = s.ForThisThread();
  // The answer belongs to the oldest call the host took and has not
  // answered. When that call's viewer is gone, the answer is refused: sent
  // to the viewer now attached, it would be taken for the answer to that
  // viewer's own call. With no call owed it is sent as the host asks.
  const uint64_t owedTo = s.keptCalls.SettleOldestOwed();
  if (!session || (owedTo != 0 && owedTo != session->Serial())) return VX_E_NOT_CONNECTED;
  return session->SendAnswer(code, data, length);
}

VxResult VXAPI VxSendRetStrA(int32_t code, const char* text) {
  if (text == nullptr) return VX_E_INVALID_PARAMETER;
  return VxSendRetCmd(code, text, static_cast<int32_t>(std::strlen(text)));
}

VxResult VXAPI VxSendRetStrW(int32_t code, const VxWChar* text) {
  char* narrow = NarrowText(text);
  if (narrow == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  const int32_t rc = VxSendRetStrA(code, narrow);
  FreeResult(narrow);
  return rc;
}

VxResult VXAPI VxSendAck(void) { return VxSendRetStrA(0, "OK_ACK"); }

VxResult VXAPI VxSendRaw(const void* data, uint32_t length) {
  if (data == nullptr && length > 0) return VX_E_INVALID_PARAMETER;
  if (length > 0x7FFFFFFFu) return VX_E_INVALID_PARAMETER;
  const SessionRef session = State().ForThisThread();
  if (!session) return VX_E_NOT_CONNECTED;
  return session->SendRaw(data, length);
}

}  // extern "C"
