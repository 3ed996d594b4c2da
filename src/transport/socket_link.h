// SocketLink: the library's one TCP connection, in client or server role,
// with the framed I/O on its data socket and its two receive buffers.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "platform/platform.h"
#include "frame_splitter.h"

namespace vxb {

// Receive buffer roles.
enum Slot : uint16_t { ResponseSlot = 0, CallSlot = 1 };

struct RecvBuffer {
  uint8_t* data = nullptr;
  uint32_t capacity = 0;
  uint32_t used = 0;
};

class SocketLink {
 public:
  static constexpr uint32_t kInitialCapacity = 4048;
  static constexpr uint32_t kMaximumCapacity = 2000000;
  static constexpr int kClientMode = 0;
  static constexpr int kServerMode = 2;

  SocketLink();
  ~SocketLink();
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  // ---- connection ----
  // mode 0: connect to host:port (a dotted address as it is, a name through
  // the forward lookup); mode 2: listen on port (host unused), on every
  // interface or on the one that VXBRIDGE_LISTEN_ADDRESS names (-1 when it
  // names none).
  int Open(const char* host, uint16_t port, int mode);
  // Accepts one waiting peer without blocking; false when none.
  bool Accept();
  // Closes the data socket. A thread blocked in a call on it wakes up; the
  // socket itself is released only when no thread uses it any more, so its
  // number is never read, written or closed after it was reused.
  void CloseData();
  // Closes the data socket only while it is still s: a failure seen on an
  // old socket must not close a newer connection.
  void CloseDataIf(plat::Socket s);
  // Closes the listening socket and the data socket (nothing in client mode).
  void CloseAll();
  plat::Socket DataSocket() const { return data_.load(); }
  plat::Socket ListenSocket() const { return listen_.load(); }
  // Port the listening socket is bound to (0 when none).
  uint16_t ListenPort() const;

  // ---- framed I/O ----
  // Sends the parts as one piece of the stream, in one gather call; a
  // failure closes the data socket (-6).
  int SendParts(const plat::SendPart* parts, int count);
  int Send(const void* first, uint32_t firstLength, const void* second, uint32_t secondLength);
  // Waits for the next frame's prefix and head (see FrameSplitter): 0, -6
  // when the link broke, -9 when the frame is too large; the link is
  // closed on both. Only the reader calls it, then ReadBody for the frame.
  int NextFrame(FrameSplitter::Frame* frame);
  // Puts frame's body into slot: what had arrived is copied, the rest read
  // straight into the slot's block, which grows to hold it; NUL-terminated.
  // -6, -9 or -11 (no memory) close the link.
  int ReadBody(const FrameSplitter::Frame& frame, uint16_t slot, uint8_t** body);
  int EnsureCapacity(uint32_t capacity, uint16_t slot);
  uint8_t* BufferData(uint16_t slot) const;
  const RecvBuffer* Buffer(uint16_t slot) const { return slot < 2 ? &buffers_[slot] : nullptr; }
  // Hands the slot's block (with what was read into it) to the caller and
  // puts replacement in its place; an empty replacement makes the next read
  // allocate a block. Only the reader thread calls it, between reads.
  RecvBuffer ExchangeBuffer(uint16_t slot, RecvBuffer replacement);
  // Judges the calling thread's last socket error.
  bool IsBrokenError() const;

  static bool IsDottedAddress(const char* text, uint8_t address[4]);

  // A borrowed use of the data socket, for one system call: while it lasts
  // the socket stays open, even once closed by another thread.
  class DataUse;

 private:
  int PrepareBuffers();
  // One receive of at most size bytes: the count, or -6 when the link broke
  // (closed). Errors that pass (server mode) are waited out.
  int Receive(uint8_t* destination, uint32_t size);
  // The listening socket, or kInvalidSocket with *result -1 (an invalid
  // listen address) or -5.
  plat::Socket Listen(uint16_t port, int* result);
  plat::Socket AcquireData();
  void ReleaseData(plat::Socket s);
  void WinsockAcquire();
  void WinsockRelease();

  std::atomic<plat::Socket> data_{plat::kInvalidSocket};
  std::atomic<plat::Socket> listen_{plat::kInvalidSocket};
  RecvBuffer buffers_[2];
  Lock sendLock_;
  // What one receive may take at once: small messages arrive many to a
  // receive; a larger body goes on straight into its slot's block.
  static constexpr uint32_t kInboxCapacity = 16384;
  uint8_t inbox_[kInboxCapacity];
  FrameSplitter splitter_{inbox_, kInboxCapacity, kMaximumCapacity};

  // Lifetime of data socket descriptors: users of the current one, and the
  // closed ones still in use by a blocked call (closed by their last user).
  struct Retired {
    plat::Socket s = plat::kInvalidSocket;
    int users = 0;
  };
  Lock handleLock_;
  int dataUsers_ = 0;
  Retired retired_[4];
};

class SocketLink::DataUse {
 public:
  explicit DataUse(SocketLink& link) : link_(link), s_(link.AcquireData()) {}
  ~DataUse() { link_.ReleaseData(s_); }
  DataUse(const DataUse&) = delete;
  DataUse& operator=(const DataUse&) = delete;
  plat::Socket get() const { return s_; }
  bool valid() const { return s_ != plat::kInvalidSocket; }

 private:
  SocketLink& link_;
  plat::Socket s_;
};

}  // namespace vxb
