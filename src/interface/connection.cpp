// The client connection: connect, disconnect, broken-connection flag.
#include <memory>
#include <new>
#include <string>

#include "vxbridge.h"
#include "library_state.h"
#include "result_buffer.h"
#include "transport/wire_trace.h"

using namespace vxb;

namespace vxb {

int BeginSession(std::unique_ptr<SocketLink> link, const Session::Settings& settings) {
  SessionRef session(Session::Create(std::move(link), settings));
  if (!session) return VX_E_NOT_ENOUGH_MEMORY;
  if (int rc = session->Start(); rc != VX_OK) return rc;
  State().SetCurrent(session);
  return VX_OK;
}

}  // namespace vxb

extern "C" {

VxResult VXAPI VxConnectA(const char* host, uint32_t port, int32_t mode, CallHandler onCall,
                          BrokenHandler onBroken) {
  // From a handler this would work on the connection that runs it;
  // refused before anything else is looked at or touched.
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  LibraryState& s = State();
  Guard one(s.connectLock);
  const SessionRef old = s.Current();
  if (old && old->IsUp()) return VX_E_ALREADY_CONNECTED;
  if (old) old->ForgetVersion();
  if (mode != 0 || host == nullptr) return VX_E_INVALID_PARAMETER;
  // A client has no use for a listening socket left from server mode: it
  // goes, whether the connect succeeds or not.
  s.listener.Close();
  try {
    auto link = std::make_unique<SocketLink>();
    const uint16_t p = static_cast<uint16_t>(port);
    const int rc = link->Connect(host, p);
    // VXBRIDGE_TRACE is read here, so a host can switch the trace per
    // connection; a failed connect is traced too.
    link->SetTrace(WireTrace::Begin(std::string("connect to ") + host + ":" + std::to_string(p) +
                                    (rc == 0 ? "" : " failed (" + std::to_string(rc) + ")")));
    if (rc != VX_OK) return rc;
    if (int started = BeginSession(std::move(link), SessionSettings(false, onCall, onBroken));
        started != VX_OK) {
      return started;
    }
  } catch (...) {
    plat::RethrowThreadExit();
    return VX_E_NOT_ENOUGH_MEMORY;
  }
  s.serverMode.store(false);
  return VX_OK;
}

VxResult VXAPI VxConnectW(const VxWChar* host, uint32_t port, int32_t mode, CallHandler onCall,
                          BrokenHandler onBroken) {
  char* h = NarrowText(host);
  if (h == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  const int32_t rc = VxConnectA(h, port, mode, onCall, onBroken);
  FreeResult(h);
  return rc;
}

VxResult VXAPI VxDisconnect(void) {
  LibraryState& s = State();
  const SessionRef session = s.ForThisThread();
  if (!session || !session->IsUp()) return VX_OK;
  if (OnWorkerThread()) return VX_E_INVALID_PARAMETER;
  Guard one(s.connectLock);
  // Returns once the library is done with the connection; a handler that
  // still runs finishes on its own, and the BrokenHandler may run after.
  session->Close();
  return VX_OK;
}

uint8_t VXAPI VxIsConnectionBroken(void) { return g_connectionBroken.exchange(false) ? 1 : 0; }

}  // extern "C"
