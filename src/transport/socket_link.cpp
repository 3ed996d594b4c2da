// SocketLink: opening, accepting and closing.
#include "socket_link.h"

#include <cstring>

#include "keepalive_setting.h"

namespace vxb {
namespace {
// Winsock start-ups held by this process.
int g_winsockUsers = 0;

// The operator's choice of the one interface server mode listens on.
constexpr const char* kListenAddressVariable = "VXBRIDGE_LISTEN_ADDRESS";

// Exactly four groups of one to three digits, each at most 255, with a dot
// between them and nothing else: an operator's restriction is taken as
// written or not at all (unlike IsDottedAddress, which reads "127" as
// 127.0.0.0).
bool IsPlainDottedAddress(const char* text, uint8_t address[4]) {
  const char* p = text;
  for (int group = 0; group < 4; ++group) {
    if (group > 0 && *p++ != '.') return false;
    unsigned value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) {
      value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    address[group] = static_cast<uint8_t>(value);
  }
  return *p == '\0';
}

// The address to listen on: every interface when the variable is unset,
// false when its value is no plain dotted address.
bool ListenAddress(uint8_t address[4]) {
  std::memset(address, 0, 4);
  char text[16];
  const int32_t n = plat::EnvironmentValue(kListenAddressVariable, text, sizeof text);
  if (n < 0) return true;
  return n < static_cast<int32_t>(sizeof text) && IsPlainDottedAddress(text, address);
}

// Every data socket, connected or accepted: a peer whose machine vanished
// without closing is noticed by the probes going unanswered, so a waiting
// command ends (-6) instead of waiting for ever. The times are read for
// each connection, so a host may change them between connections.
void PrepareDataSocket(plat::Socket s) {
  plat::SetNoDelay(s);
  plat::SetKeepAlive(s, KeepAliveFromEnvironment());
}

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
  // Bytes read ahead belong to the connection they came on.
  splitter_.Clear();
  for (RecvBuffer& b : buffers_) {
    if (b.data != nullptr) continue;  // grown blocks are kept across connections
    b.data = static_cast<uint8_t*>(plat::AllocBlockUnfilled(kInitialCapacity));
    if (b.data == nullptr) return -11;
    b.data[0] = 0;
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
    int rc = 0;
    listen_.store(Listen(port, &rc));
    return rc;
  }

  // A client has no use for a listening socket left from server mode, and
  // keeping it would have failures judged as in server mode.
  CloseAll();

  // A dotted address is the address to connect to: asking the resolver
  // about it first would fail where no reverse entry exists and stall where
  // the resolver cannot be reached. Names take the forward lookup.
  uint8_t address[4] = {0, 0, 0, 0};
  if (IsDottedAddress(host, address)) {
    // 0.0.0.0 (also the empty text) names no host: Windows refuses it, and
    // Linux would quietly take it for this machine.
    const uint8_t any[4] = {0, 0, 0, 0};
    if (std::memcmp(address, any, 4) == 0) return -5;
  } else if (!plat::LookupByName(host, address)) {
    return -5;
  }

  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return -5;
  if (plat::Connect(s, address, port) != 0) {
    plat::CloseSocket(s);
    return -5;
  }
  PrepareDataSocket(s);
  // Published only once connected: a socket that never connected is
  // nothing another thread should ever see.
  data_.store(s);
  return 0;
}

plat::Socket SocketLink::Listen(uint16_t port, int* result) {
  CloseAll();
  // An invalid restriction listens nowhere rather than everywhere.
  uint8_t address[4];
  *result = -1;
  if (!ListenAddress(address)) return plat::kInvalidSocket;
  *result = -5;
  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return plat::kInvalidSocket;
  plat::SetBlocking(s, false);
  if (plat::Bind(s, address, port) != 0 || plat::Listen(s, 1) != 0) {
    plat::CloseSocket(s);
    return plat::kInvalidSocket;
  }
  *result = 0;
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
  PrepareDataSocket(s);
  splitter_.Clear();
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
    // Wakes every call blocked on the socket and tells the peer at once.
    // Closing is left to the last of its users: closed under them, its
    // number could be handed to the next connection while they still use
    // it, and a late receive would take that connection's bytes.
    plat::ShutdownBoth(s);
    if (dataUsers_ > 0) {
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
  // The places cannot all be taken: at most two threads use data sockets
  // at any time (the reader, and one sender under the send lock), so at
  // most two closed sockets wait for users. Were they taken all the same,
  // the socket is closed at once, its users woken by the shutdown.
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
