// SocketLink: opening, accepting and closing.
#include "socket_link.h"

#include <cstring>

namespace vxb {
namespace {
// Winsock start-ups held by this process.
int g_winsockUsers = 0;
}  // namespace

SocketLink::SocketLink() { WinsockAcquire(); }

SocketLink::~SocketLink() {
  WinsockRelease();
  for (RecvBuffer& b : buffers_) {
    plat::FreeBlock(b.data);
    b.data = nullptr;
    b.capacity = 0;
    b.used = 0;
  }
}

void SocketLink::WinsockAcquire() {
  if (g_winsockUsers == 0) {
    if (plat::SocketsStart()) g_winsockUsers = 1;
  } else {
    ++g_winsockUsers;
    CloseData();
  }
}

void SocketLink::WinsockRelease() {
  CloseData();
  // The listening socket goes with the clean-up below on Windows; POSIX has
  // no such clean-up, so close it here to leave no descriptor behind.
  if (plat::Socket l = listen_.exchange(plat::kInvalidSocket); l != plat::kInvalidSocket) {
    plat::CloseSocket(l);
  }
  if (g_winsockUsers != 0 && --g_winsockUsers == 0) plat::SocketsStop();
}

int SocketLink::PrepareBuffers() {
  CloseData();
  for (RecvBuffer& b : buffers_) {
    if (b.data != nullptr) continue;  // grown blocks are kept across connections
    b.data = static_cast<uint8_t*>(plat::AllocBlock(kInitialCapacity));
    if (b.data == nullptr) return -11;
    b.capacity = kInitialCapacity;
    b.used = 0;
  }
  return 0;
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

int SocketLink::Open(const char* host, uint16_t port, int mode) {
  if (int rc = PrepareBuffers(); rc != 0) return rc;
  if (mode == kServerMode) {
    listen_.store(Listen(port));
    return listen_.load() == plat::kInvalidSocket ? -5 : 0;
  }

  // A client has no use for a listening socket left from server mode, and
  // keeping it would have failures judged as in server mode.
  CloseAll();

  uint8_t address[4] = {0, 0, 0, 0};
  uint8_t first[4];
  const bool found = IsDottedAddress(host, address) ? plat::LookupByAddress(address, first)
                                                    : plat::LookupByName(host, first);
  if (!found) return -5;

  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return -5;
  if (plat::Connect(s, first, port) != 0) {
    plat::CloseSocket(s);
    return -5;
  }
  plat::SetNoDelay(s);
  // Published only once connected: a socket that never connected is
  // nothing another thread should ever see.
  data_.store(s);
  return 0;
}

plat::Socket SocketLink::Listen(uint16_t port) {
  CloseAll();
  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return plat::kInvalidSocket;
  plat::SetBlocking(s, false);
  if (plat::BindAny(s, port) != 0 || plat::Listen(s, 1) != 0) {
    plat::CloseSocket(s);
    return plat::kInvalidSocket;
  }
  return s;
}

uint16_t SocketLink::ListenPort() const {
  const plat::Socket l = listen_.load();
  return l == plat::kInvalidSocket ? 0 : plat::LocalPort(l);
}

bool SocketLink::Accept() {
  const plat::Socket l = listen_.load();
  if (l == plat::kInvalidSocket || data_.load() != plat::kInvalidSocket) return false;
  const plat::Socket s = plat::Accept(l);
  if (s == plat::kInvalidSocket) return false;
  plat::SetBlocking(s, true);
  plat::SetNoDelay(s);
  data_.store(s);
  return true;
}

plat::Socket SocketLink::AcquireData() {
  Guard g(handleLock_);
  const plat::Socket s = data_.load();
  if (s != plat::kInvalidSocket) ++dataUsers_;
  return s;
}

void SocketLink::ReleaseData(plat::Socket s) {
  if (s == plat::kInvalidSocket) return;
  bool closeNow = false;
  {
    Guard g(handleLock_);
    if (s == data_.load()) {
      --dataUsers_;
    } else {
      for (Retired& r : retired_) {
        if (r.s != s) continue;
        if (--r.users == 0) {
          r.s = plat::kInvalidSocket;
          closeNow = true;
        }
        break;
      }
    }
  }
  if (closeNow) plat::CloseSocket(s);
}

void SocketLink::CloseData() { CloseDataIf(plat::kInvalidSocket); }

void SocketLink::CloseDataIf(plat::Socket expected) {
  plat::Socket s;
  bool closeNow = true;
  {
    Guard g(handleLock_);
    s = data_.load();
    if (s == plat::kInvalidSocket) return;
    if (expected != plat::kInvalidSocket && s != expected) return;
    data_.store(plat::kInvalidSocket);
    // Wakes a reader blocked in recv (closing alone does not on POSIX) and
    // tells the peer at once.
    plat::ShutdownBoth(s);
    if (dataUsers_ > 0 && !plat::CloseWakesBlockedReceive()) {
      for (Retired& r : retired_) {
        if (r.s != plat::kInvalidSocket) continue;
        r.s = s;
        r.users = dataUsers_;
        closeNow = false;
        break;
      }
    }
    dataUsers_ = 0;
  }
  // With every retirement place taken (four closes racing blocked calls) the
  // descriptor is closed at once: its users have been woken by the shutdown.
  if (closeNow) plat::CloseSocket(s);
}

void SocketLink::CloseAll() {
  const plat::Socket l = listen_.load();
  if (l == plat::kInvalidSocket) return;
  CloseData();
  plat::CloseSocket(l);
  listen_.store(plat::kInvalidSocket);
}

}  // namespace vxb
