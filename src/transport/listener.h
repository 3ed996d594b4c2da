// Listener: the listening socket of server mode. It outlives the
// connections it accepts: each accepted socket becomes a SocketLink of its
// own.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace vxb {

class Listener {
 public:
  Listener() = default;
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on port (0: any free one) without blocking accepts, on every
  // interface or on the one VXBRIDGE_LISTEN_ADDRESS names. A listening
  // socket open before is closed first. 0; -1 when the variable names no
  // plain dotted address; -5 when the port cannot be had.
  int Open(uint16_t port);
  // One waiting peer's socket, set to block; kInvalidSocket at once when
  // none waits (or the accept failed).
  plat::Socket Accept();
  void Close();
  bool IsOpen() const { return socket_.load() != plat::kInvalidSocket; }
  // The port it is bound to (0 when not listening).
  uint16_t Port() const;

 private:
  std::atomic<plat::Socket> socket_{plat::kInvalidSocket};
};

}  // namespace vxb
