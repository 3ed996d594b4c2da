// SocketLink: connecting, adopting an accepted socket, and closing.
#include "socket_link.h"

#include <cstring>

#include "vxbridge.h"
#include "keepalive_setting.h"

namespace vxb {

void PrepareDataSocket(plat::Socket s) {
  plat::SetNoDelay(s);
  plat::SetKeepAlive(s, KeepAliveFromEnvironment());
}

SocketLink::~SocketLink() {
  Close();
  // Every user is gone by now (the link is destroyed by its last owner),
  // so a socket shut while one was still in a call is released here at
  // the latest.
  plat::Socket left = plat::kInvalidSocket;
  {
    Guard g(handleLock_);
    left = published_;
    published_ = plat::kInvalidSocket;
  }
  if (left != plat::kInvalidSocket) plat::CloseSocket(left);
}

int SocketLink::Publish(plat::Socket s) {
  Guard g(handleLock_);
  if (published_ != plat::kInvalidSocket || closed_) return VX_E_ALREADY_CONNECTED;
  published_ = s;
  data_.store(s);
  return VX_OK;
}

bool SocketLink::IsDottedAddress(const char* text, uint8_t address[4]) {
  if (std::strlen(text) > 15) return false;
  int group = 0;
  unsigned value = 0;
  bool lastWasDot = false;
  for (const char* p = text;; ++p) {
    if (*p == '\0' || group == 4) return true;
    if (*p >= '0' && *p <= '9') {
      lastWasDot = false;
      value = value * 10 + static_cast<unsigned>(*p - '0');
      address[group] = static_cast<uint8_t>(value);
    } else if (*p == '.' && !lastWasDot) {
      lastWasDot = true;
      ++group;
      value = 0;
    } else {
      return false;
    }
    if (value > 255) return false;
  }
}

int SocketLink::Connect(const char* host, uint16_t port) {
  if (IsOpen()) return VX_E_ALREADY_CONNECTED;
  // A dotted address is the address to connect to: asking the resolver
  // about it first would fail where no reverse entry exists and stall where
  // the resolver cannot be reached. Names take the forward lookup.
  uint8_t address[4] = {0, 0, 0, 0};
  if (IsDottedAddress(host, address)) {
    // 0.0.0.0 (also the empty text) names no host: Windows refuses it, and
    // Linux would quietly take it for this machine.
    const uint8_t any[4] = {0, 0, 0, 0};
    if (std::memcmp(address, any, 4) == 0) return VX_E_HOST_NOT_FOUND;
  } else if (!plat::LookupByName(host, address)) {
    return VX_E_HOST_NOT_FOUND;
  }

  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return VX_E_HOST_NOT_FOUND;
  if (plat::Connect(s, address, port) != 0) {
    plat::CloseSocket(s);
    return VX_E_HOST_NOT_FOUND;
  }
  PrepareDataSocket(s);
  serverRole_ = false;
  // Published only once connected: a socket that never connected is
  // nothing another thread should ever see.
  const int rc = Publish(s);
  if (rc != VX_OK) plat::CloseSocket(s);
  return rc;
}

int SocketLink::Adopt(plat::Socket accepted) {
  int rc = IsOpen() ? VX_E_ALREADY_CONNECTED : VX_OK;
  if (rc == VX_OK) {
    PrepareDataSocket(accepted);
    serverRole_ = true;
    rc = Publish(accepted);
  }
  if (rc != VX_OK) plat::CloseSocket(accepted);
  return rc;
}

plat::Socket SocketLink::AcquireData() {
  Guard g(handleLock_);
  const plat::Socket s = data_.load();
  if (s != plat::kInvalidSocket) ++users_;
  return s;
}

void SocketLink::ReleaseData(plat::Socket s) {
  if (s == plat::kInvalidSocket) return;
  bool closeNow = false;
  {
    Guard g(handleLock_);
    closeNow = --users_ == 0 && closed_ && published_ == s;
    if (closeNow) published_ = plat::kInvalidSocket;
  }
  if (closeNow) plat::CloseSocket(s);
}

void SocketLink::Close() {
  plat::Socket s;
  bool closeNow = false;
  {
    Guard g(handleLock_);
    s = data_.load();
    closed_ = true;
    if (s == plat::kInvalidSocket) return;
    data_.store(plat::kInvalidSocket);
    // Wakes every call blocked on the socket and tells the peer at once.
    // Closing is left to the last of its users: closed under them, its
    // number could be handed to the next connection while they still use
    // it, and a late receive would take that connection's bytes.
    plat::ShutdownBoth(s);
    closeNow = users_ == 0;
    if (closeNow) published_ = plat::kInvalidSocket;
  }
  if (closeNow) plat::CloseSocket(s);
}

}  // namespace vxb
