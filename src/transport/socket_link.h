// SocketLink: one TCP connection to the viewer, in the client or the server
// role, for the whole of its life: the data socket, the bytes read ahead of
// the next frame, the two receive buffers and the connection's trace. A
// link is connected (or given an accepted socket) once; the next
// connection is a new link, so nothing read or written on one can reach
// another.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/platform.h"
#include "frame_splitter.h"
#include "wire_trace.h"

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

  SocketLink() = default;
  // Closes the socket (if still open) and frees the buffers.
  ~SocketLink();
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  // ---- connection ----
  // Client role: connects to host:port (a dotted address as it is, a name
  // through the forward lookup). 0; -5 host not found or refused; -11 no
  // memory for the buffers; -20 when this link was connected before.
  int Connect(const char* host, uint16_t port);
  // Server role: takes an accepted socket (which it closes on failure).
  // 0, -11 or -20 as for Connect.
  int Adopt(plat::Socket accepted);
  // Ends the connection: every call blocked on the socket wakes and fails,
  // the peer learns it at once, and later calls fail. The socket itself is
  // released by its last user, so its number is never read, written or
  // closed after it was reused. Idempotent, from any thread.
  void Close();
  bool IsOpen() const { return data_.load() != plat::kInvalidSocket; }
  plat::Socket DataSocket() const { return data_.load(); }
  bool ServerRole() const { return serverRole_; }

  // The connection's trace (null: none). Set before the link is shared.
  void SetTrace(std::unique_ptr<WireTrace> trace) { trace_ = std::move(trace); }
  WireTrace* Trace() const { return trace_.get(); }

  // ---- framed I/O ----
  // Sends the parts as one piece of the stream, in one gather call, within
  // timeoutMs (plat::kInfinite: no limit); a failure or a time-out closes
  // the link (-6): part of the message may have left. One sender at a
  // time: the session's outbox has one writer.
  int SendParts(const plat::SendPart* parts, int count, uint32_t timeoutMs = plat::kInfinite);
  int Send(const void* first, uint32_t firstLength, const void* second, uint32_t secondLength,
           uint32_t timeoutMs = plat::kInfinite);
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
  // Publishes a connected socket; -20 when the link had one before.
  int Publish(plat::Socket s);
  // One receive of at most size bytes: the count, or -6 when the link broke
  // (closed). Errors that pass (server role) are waited out.
  int Receive(uint8_t* destination, uint32_t size);
  plat::Socket AcquireData();
  void ReleaseData(plat::Socket s);

  std::atomic<plat::Socket> data_{plat::kInvalidSocket};
  bool serverRole_ = false;
  RecvBuffer buffers_[2];
  // What one receive may take at once: small messages arrive many to a
  // receive; a larger body goes on straight into its slot's block.
  static constexpr uint32_t kInboxCapacity = 16384;
  uint8_t inbox_[kInboxCapacity];
  FrameSplitter splitter_{inbox_, kInboxCapacity, kMaximumCapacity};
  std::unique_ptr<WireTrace> trace_;

  // Lifetime of the data socket: its users, and the socket once closed
  // while some were still in a call on it (closed by the last of them).
  Lock handleLock_;
  plat::Socket published_ GUARDED_BY(handleLock_) = plat::kInvalidSocket;
  int users_ GUARDED_BY(handleLock_) = 0;
  bool closed_ GUARDED_BY(handleLock_) = false;
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

// Every data socket, connected or accepted: no delay, and keep-alive, so a
// peer whose machine vanished without closing is noticed by the probes
// going unanswered and a waiting command ends (-6) instead of waiting for
// ever. The keep-alive times (VXBRIDGE_KEEPALIVE_MS) are read for each
// connection, so a host may change them between connections.
void PrepareDataSocket(plat::Socket s);

}  // namespace vxb
