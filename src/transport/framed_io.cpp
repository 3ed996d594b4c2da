// SocketLink: sends, receives, the receive buffers and the judgement of
// socket failures.
#include <algorithm>
#include <cstring>

#include "socket_link.h"

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
    case plat::kErrNoBuffers: return listen_.load() == plat::kInvalidSocket;
    default: return true;
  }
}

// A failed send ends the connection in both modes, whatever the error:
// part of the message may have left, and the peer's stream cannot be
// brought back into step after a torn frame.
int SocketLink::Send(const void* first, uint32_t firstLength, const void* second,
                     uint32_t secondLength) {
  bool failed = false;
  plat::Socket used;
  {
    Guard g(sendLock_);
    DataUse use(*this);
    if (!use.valid()) return -6;
    used = use.get();
    failed = plat::Send(use.get(), first, static_cast<int>(firstLength)) < 0;
    if (!failed && second != nullptr) {
      failed = plat::Send(use.get(), second, static_cast<int>(secondLength)) < 0;
    }
  }
  if (failed) {
    CloseDataIf(used);
    return -6;
  }
  return 0;
}

int SocketLink::Probe() {
  DataUse use(*this);
  if (!use.valid()) return -1;
  uint8_t byte;
  const int n = plat::Recv(use.get(), &byte, 1, true);
  if (n > 0) return 1;
  if (n == 0 || IsBrokenError()) {
    CloseDataIf(use.get());
    return -1;
  }
  return 0;
}

int SocketLink::Peek(void* destination, int* length) {
  DataUse use(*this);
  if (!use.valid()) return -6;
  int n = plat::Recv(use.get(), destination, *length, true);
  if (n == 0) {
    CloseDataIf(use.get());
    return -6;
  }
  if (n < 0) {
    if (IsBrokenError()) {
      CloseDataIf(use.get());
      return -6;
    }
    n = 0;
  }
  *length = n;
  return 0;
}

int SocketLink::ReadExact(uint8_t* destination, int n) {
  int got = 0;
  while (got < n) {
    DataUse use(*this);
    if (!use.valid()) return -6;
    const int r = plat::Recv(use.get(), destination + got, n - got, false);
    if (r > 0) {
      got += r;
    } else if (r == 0 || IsBrokenError()) {
      CloseDataIf(use.get());
      return -6;
    }
  }
  return 0;
}

int SocketLink::ReadLength(uint32_t* value) {
  *value = 0;
  uint8_t bytes[4] = {0, 0, 0, 0};
  // A prefix split across segments is completed: taking it short would put
  // the stream out of step for good.
  if (int rc = ReadExact(bytes, 4); rc != 0) return rc;
  *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return 0;
}

int SocketLink::ReadInto(uint8_t** body, int32_t length, uint16_t slot, const uint8_t* head,
                         int32_t headLength) {
  if (slot >= 2) return -11;
  RecvBuffer& b = buffers_[slot];
  b.used = 0;
  if (b.data != nullptr) b.data[0] = 0;
  if (length < 1) return 0;
  // A slot whose block was handed on starts again at the usual size.
  const uint32_t wanted = b.data == nullptr && static_cast<uint32_t>(length) + 1 < kInitialCapacity
                              ? kInitialCapacity
                              : static_cast<uint32_t>(length) + 1;
  if (b.capacity < wanted) {
    // The body cannot be skipped safely without a place to put it, and
    // reading it in pieces would hand out a torn message: the stream is
    // closed instead, as for a broken link.
    if (int rc = EnsureCapacity(wanted, slot); rc != 0) {
      CloseData();
      return rc == -8 ? -9 : rc;
    }
  }
  *body = b.data;
  int32_t received = 0;
  if (head != nullptr && headLength > 0) {
    received = headLength < length ? headLength : length;
    std::memcpy(b.data, head, static_cast<size_t>(received));
    b.data[received] = 0;
    b.used = static_cast<uint32_t>(received);
  }
  while (received < length) {
    DataUse use(*this);
    if (!use.valid()) return -6;  // closed by another thread meanwhile
    const int ask = static_cast<int>(
        std::min<uint32_t>(static_cast<uint32_t>(length - received), b.capacity - 1));
    const int n = plat::Recv(use.get(), b.data + received, ask, false);
    if (n > 0) {
      received += n;
      b.data[received] = 0;
      b.used = static_cast<uint32_t>(received);
    } else if (n == 0 || IsBrokenError()) {
      CloseDataIf(use.get());
      return -6;
    }
  }
  return 0;
}

int SocketLink::EnsureCapacity(uint32_t capacity, uint16_t slot) {
  if (slot >= 2) return -11;
  RecvBuffer& b = buffers_[slot];
  if (capacity <= b.capacity) return 0;
  if (capacity < kInitialCapacity) return -8;
  if (capacity > kMaximumCapacity) return -9;
  auto* block = static_cast<uint8_t*>(plat::AllocBlock(capacity));
  if (block == nullptr) return -11;
  plat::FreeBlock(b.data);
  b.data = block;
  b.capacity = capacity;
  b.used = 0;
  return 0;
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
