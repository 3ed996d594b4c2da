// The server-mode calls: the library listens, accepts the viewer and the
// host answers each of its petitions itself.
#include <cstring>
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
  if (OnWorkerThread()) return -1;
  LibraryState& s = State();
  ForgetProductVersion();
  if (mode != 0) return -1;
  LinkObjects();
  // Open closes an open peer connection first; its threads end with it.
  s.link.CloseData();
  s.reader.Wait();
  s.dispatcher.Wait();
  if (int rc = s.link.Open("localhost", static_cast<uint16_t>(port), SocketLink::kServerMode);
      rc != 0) {
    return rc;
  }
  s.serverMode.store(true);
  s.dispatcher.SetServerMode(true);
  s.dispatcher.SetCallHandler(nullptr);
  s.dispatcher.SetBrokenHandler(nullptr);
  return 0;
}

VxResult VXAPI VxAccept(void) {
  if (OnWorkerThread()) return -1;
  LibraryState& s = State();
  if (s.link.ListenSocket() == plat::kInvalidSocket) return -5;
  s.link.CloseData();
  // The previous peer's threads end through the broken path; they must be
  // gone before the same thread objects start again.
  s.reader.Wait();
  s.dispatcher.Wait();
  // As for a connect: no host command sends on the new peer's link before
  // it is ready to pair its answers.
  Guard turn(s.commandLock);
  if (!s.link.Accept()) return -3;
  trace::BeginAccept(s.link.ListenPort());
  s.petitionReady.store(false);
  StartWorkers();
  return 0;
}

uint8_t VXAPI VxRecvCmd(CallRecord* record) {
  if (record == nullptr) return 0;
  LibraryState& s = State();
  if (!s.dispatcher.TakePending(record)) return 0;
  if (!s.serverMode.load()) return 1;
  const std::string text = PetitionText(*record);
  Guard g(s.petitionLock);
  s.petition.Store(text.data(), static_cast<uint32_t>(text.size()));
  s.petitionReady.store(true);
  return 1;
}

int32_t VXAPI VxAvailableBytes(void) {
  LibraryState& s = State();
  if (!s.Connected()) {
    s.petitionReady.store(false);
    return -1;
  }
  auto waiting = [&s]() -> int32_t {
    Guard g(s.petitionLock);
    return s.petitionReady.load() ? static_cast<int32_t>(s.petition.Size()) : -1;
  };
  if (int32_t n = waiting(); n >= 0) return n;
  CallRecord scratch;
  if (VxRecvCmd(&scratch) != 0) {
    if (int32_t n = waiting(); n >= 0) return n;
  }
  return 0;
}

VxResult VXAPI VxReadRawPetition(const uint8_t** data, uint32_t* size) {
  if (data == nullptr || size == nullptr) return -1;
  LibraryState& s = State();
  Guard g(s.petitionLock);
  if (!s.petitionReady.load()) return -19;
  s.petitionReady.store(false);
  *data = s.petition.Data();
  *size = s.petition.Size();
  return 0;
}

VxResult VXAPI VxSendRetCmd(int32_t code, const void* data, int32_t length) {
  if (length < 0 || (data == nullptr && length > 0)) return -1;
  LibraryState& s = State();
  if (!s.Connected()) return -3;
  return SendResponse(s.link, code, data, length);
}

VxResult VXAPI VxSendRetStrA(int32_t code, const char* text) {
  if (text == nullptr) return -1;
  return VxSendRetCmd(code, text, static_cast<int32_t>(std::strlen(text)));
}

VxResult VXAPI VxSendRetStrW(int32_t code, const VxWChar* text) {
  char* narrow = NarrowText(text);
  if (narrow == nullptr) return -11;
  const int32_t rc = VxSendRetStrA(code, narrow);
  FreeResult(narrow);
  return rc;
}

VxResult VXAPI VxSendAck(void) { return VxSendRetStrA(0, "OK_ACK"); }

VxResult VXAPI VxSendRaw(const void* data, uint32_t length) {
  if (data == nullptr && length > 0) return -1;
  if (length > 0x7FFFFFFFu) return -1;
  LibraryState& s = State();
  if (!s.Connected()) return -3;
  if (trace::On()) trace::SentRaw(data, length);
  return s.link.Send(data, length, nullptr, 0);
}

}  // extern "C"
