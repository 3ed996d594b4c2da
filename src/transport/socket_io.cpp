// SocketLink: sends, receives and the judgement of socket failures.
#include "socket_link.h"
#include "vxbridge.h"

namespace vxb {

// Which failures end the connection. A client has nothing to go on after
// any failure. A server keeps its peer only through errors that are over
// when the call is made again; everything else, and notably what says the
// connection is gone, ends it (a server that kept retrying those would
// never tell its host the viewer had left):
//
//   error                                      client   server
//   0 (none)                                   kept     kept
//   10004 WSAEINTR       (POSIX EINTR)         ends     kept
//   10035 WSAEWOULDBLOCK (EAGAIN)              ends     kept
//   10036 WSAEINPROGRESS (EINPROGRESS)         ends     kept
//   10055 WSAENOBUFS     (ENOBUFS, ENOMEM)     ends     kept
//   10054 WSAECONNRESET, 10050 WSAENETDOWN,
//   10052 WSAENETRESET, 10058 WSAESHUTDOWN
//   (EPIPE), 10060 WSAETIMEDOUT, 10053
//   WSAECONNABORTED, 10057 WSAENOTCONN,
//   10038 WSAENOTSOCK (EBADF), and any other   ends     ends
bool SocketLink::IsBrokenError() const {
  switch (plat::LastSocketError()) {
    case plat::kErrNone: return false;
    case plat::kErrInterrupted:
    case plat::kErrWouldBlock:
    case plat::kErrInProgress:
    case plat::kErrNoBuffers: return !serverRole_;
    default: return true;
  }
}

// A failed send ends the connection in both roles, whatever the error, and
// so does a send that ran out of time: part of the message may have left,
// and the peer's stream cannot be brought back into step after a torn
// frame.
int SocketLink::SendParts(const plat::SendPart* parts, int count, uint32_t timeoutMs) {
  bool failed = false;
  {
    DataUse use(*this);
    if (!use.valid()) return VX_E_COMMUNICATION_BROKEN;
    failed = plat::SendParts(use.get(), parts, count, timeoutMs) < 0;
  }
  if (failed) {
    Close();
    return VX_E_COMMUNICATION_BROKEN;
  }
  return VX_OK;
}

int SocketLink::Send(const void* first, uint32_t firstLength, const void* second,
                     uint32_t secondLength, uint32_t timeoutMs) {
  const plat::SendPart parts[2] = {{first, firstLength},
                                   {second, second != nullptr ? secondLength : 0}};
  return SendParts(parts, 2, timeoutMs);
}

int SocketLink::Receive(uint8_t* destination, uint32_t size) {
  for (;;) {
    DataUse use(*this);
    if (!use.valid()) return VX_E_COMMUNICATION_BROKEN;  // closed by another thread meanwhile
    const int n = plat::Recv(use.get(), destination, static_cast<int>(size), false);
    if (n > 0) return n;
    if (n == 0 || IsBrokenError()) {
      Close();
      return VX_E_COMMUNICATION_BROKEN;
    }
    // A failure not judged broken (server mode) can repeat at once; a short
    // pause keeps the reader from spinning on it.
    plat::SleepMs(1);
  }
}

}  // namespace vxb
