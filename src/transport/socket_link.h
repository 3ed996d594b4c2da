// SocketLink: one TCP connection to the viewer, in the client or the server
// role, for the whole of its life: the data socket, its sends and receives,
// the judgement of its failures and the connection's trace (frames are cut
// and read by the FrameReader, written by WriteFrames). A link is connected
// (or given an accepted socket) once; the next connection is a new link, so
// nothing read or written on one can reach another.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/platform.h"
#include "wire_trace.h"

namespace vxb {

class SocketLink {
 public:
  SocketLink() = default;
  // Closes the socket (if still open).
  ~SocketLink();
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  // ---- connection ----
  // Client role: connects to host:port (a dotted address as it is, a name
  // through the forward lookup). 0; -5 host not found or refused; -20 when
  // this link was connected before.
  int Connect(const char* host, uint16_t port);
  // Server role: takes an accepted socket (which it closes on failure).
  // 0 or -20 as for Connect.
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
  // One receive of at most size bytes, waiting until some have come: the
  // count, or -6 when the link broke (then closed) or was closed. Errors
  // that pass (server role) are waited out. One reader at a time.
  int Receive(uint8_t* destination, uint32_t size);
  // Judges the calling thread's last socket error.
  bool IsBrokenError() const;

  static bool IsDottedAddress(const char* text, uint8_t address[4]);

  // A borrowed use of the data socket, for one system call: while it lasts
  // the socket stays open, even once closed by another thread.
  class DataUse;

 private:
  // Publishes a connected socket; -20 when the link had one before.
  int Publish(plat::Socket s);
  plat::Socket AcquireData();
  void ReleaseData(plat::Socket s);

  std::atomic<plat::Socket> data_{plat::kInvalidSocket};
  bool serverRole_ = false;
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
