// The client connection: connect, disconnect, broken-connection flag.
#include "vxbridge.h"
#include "library_state.h"
#include "result_buffer.h"
#include "transport/wire_trace.h"

using namespace vxb;

extern "C" {

VxResult VXAPI VxConnectA(const char* host, uint32_t port, int32_t mode, CallHandler onCall,
                          BrokenHandler onBroken) {
  // From a handler this would wait for the dispatcher thread it runs on;
  // refused before anything else is looked at or touched.
  if (OnWorkerThread()) return -1;
  LibraryState& s = State();
  if (s.Connected()) return -20;
  ForgetProductVersion();
  if (mode != 0 || host == nullptr) return -1;
  LinkObjects();
  // The threads of a connection lost on its own may still be finishing
  // (the dispatcher may be inside the BrokenHandler): let them end before
  // the link is reused.
  s.reader.Wait();
  s.dispatcher.Wait();
  // A host command of another thread waits for the new connection rather
  // than sending on it before its answers are expected.
  Guard turn(s.commandLock);
  const int rc = s.link.Open(host, static_cast<uint16_t>(port), SocketLink::kClientMode);
  // VXBRIDGE_TRACE is read here, so a host can switch the trace per connection.
  trace::BeginConnect(host, static_cast<uint16_t>(port), rc);
  if (rc != 0) return rc;
  s.serverMode.store(false);
  s.dispatcher.SetServerMode(false);
  s.dispatcher.SetCallHandler(onCall);
  s.dispatcher.SetBrokenHandler(onBroken);
  StartWorkers();
  return 0;
}

VxResult VXAPI VxConnectW(const VxWChar* host, uint32_t port, int32_t mode, CallHandler onCall,
                          BrokenHandler onBroken) {
  char* h = NarrowText(host);
  if (h == nullptr) return -11;
  const int32_t rc = VxConnectA(h, port, mode, onCall, onBroken);
  FreeResult(h);
  return rc;
}

VxResult VXAPI VxDisconnect(void) {
  LibraryState& s = State();
  if (!s.Connected()) {
    // Threads of a connection lost on its own are collected here, so that
    // nothing of it is left behind once the host is done.
    if (!OnWorkerThread()) {
      s.reader.Wait();
      s.dispatcher.Wait();
    }
    return 0;
  }
  if (OnWorkerThread()) return -1;
  if (trace::On()) trace::Disconnected();
  s.link.CloseData();
  s.reader.Wait();
  s.dispatcher.Wait();
  return 0;
}

uint8_t VXAPI VxIsConnectionBroken(void) { return State().dispatcher.TakeBroken() ? 1 : 0; }

}  // extern "C"
