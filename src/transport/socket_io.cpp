// SocketLink: sends, receives, the receive buffers and the judgement of
// socket failures.
#include <algorithm>
#include <cstring>

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

int SocketLink::NextFrame(FrameSplitter::Frame* frame) {
  for (;;) {
    switch (splitter_.Next(frame)) {
      case FrameSplitter::kFrame:
        // Once the link is closed, what was read ahead is gone with it, as
        // unread bytes in the socket would be.
        if (IsOpen()) return VX_OK;
        splitter_.Clear();
        return VX_E_COMMUNICATION_BROKEN;
      case FrameSplitter::kTooLarge:
        // No buffer can hold it and the bytes cannot be skipped in step:
        // the stream is given up.
        Close();
        return VX_E_BUFFER_TOO_BIG;
      case FrameSplitter::kNeedMore:
        break;
    }
    // Whatever has arrived, up to the room there is, in one call.
    uint8_t* space = splitter_.Space();
    const int n = Receive(space, splitter_.SpaceSize());
    if (n < 0) {
      // What was read ahead goes with the stream, as unread bytes would.
      splitter_.Clear();
      return n;
    }
    splitter_.Added(static_cast<uint32_t>(n));
  }
}

int SocketLink::ReadBody(const FrameSplitter::Frame& frame, uint16_t slot, uint8_t** body) {
  if (slot >= 2) return VX_E_NOT_ENOUGH_MEMORY;
  RecvBuffer& b = buffers_[slot];
  b.used = 0;
  if (b.data != nullptr) b.data[0] = 0;
  if (frame.length == 0) return VX_OK;
  // A slot whose block was handed on starts again at the usual size.
  const uint32_t wanted = b.data == nullptr && frame.length + 1 < kInitialCapacity
                              ? kInitialCapacity
                              : frame.length + 1;
  if (b.capacity < wanted) {
    // The body cannot be skipped safely without a place to put it, and
    // reading it in pieces would hand out a torn message: the stream is
    // closed instead, as for a broken link.
    if (int rc = EnsureCapacity(wanted, slot); rc != VX_OK) {
      Close();
      splitter_.Clear();
      return rc == VX_E_BUFFER_TOO_SMALL ? VX_E_BUFFER_TOO_BIG : rc;
    }
  }
  *body = b.data;
  std::memcpy(b.data, frame.head, frame.buffered);
  uint32_t received = frame.buffered;
  // The rest of a body longer than what had arrived is read straight into
  // its block, and no further: the next frame's bytes stay in the stream.
  while (received < frame.length) {
    const int n = Receive(b.data + received, frame.length - received);
    if (n < 0) {
      splitter_.Clear();
      b.data[received] = 0;
      b.used = received;
      return n;
    }
    received += static_cast<uint32_t>(n);
  }
  b.data[received] = 0;
  b.used = received;
  return VX_OK;
}

int SocketLink::EnsureCapacity(uint32_t capacity, uint16_t slot) {
  if (slot >= 2) return VX_E_NOT_ENOUGH_MEMORY;
  RecvBuffer& b = buffers_[slot];
  if (capacity <= b.capacity) return VX_OK;
  if (capacity < kInitialCapacity) return VX_E_BUFFER_TOO_SMALL;
  if (capacity > kMaximumCapacity) return VX_E_BUFFER_TOO_BIG;
  // Written up to the body's end and its NUL before anything reads it.
  auto* block = static_cast<uint8_t*>(plat::AllocBlockUnfilled(capacity));
  if (block == nullptr) return VX_E_NOT_ENOUGH_MEMORY;
  plat::FreeBlock(b.data);
  block[0] = 0;
  b.data = block;
  b.capacity = capacity;
  b.used = 0;
  return VX_OK;
}

RecvBuffer SocketLink::ExchangeBuffer(uint16_t slot, RecvBuffer replacement) {
  if (slot >= 2) return replacement;
  const RecvBuffer taken = buffers_[slot];
  buffers_[slot] = replacement;
  buffers_[slot].used = 0;
  return taken;
}

uint8_t* SocketLink::BufferData(uint16_t slot) const {
  return slot < 2 ? buffers_[slot].data : nullptr;
}

}  // namespace vxb
