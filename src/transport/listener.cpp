// Listener: the listening socket of server mode.
#include "listener.h"

#include <cstring>

#include "vxbridge.h"

namespace vxb {
namespace {

// The operator's choice of the one interface server mode listens on.
constexpr const char* kListenAddressVariable = "VXBRIDGE_LISTEN_ADDRESS";

// Exactly four groups of one to three digits, each at most 255, with a dot
// between them and nothing else: an operator's restriction is taken as
// written or not at all (unlike a host name given to a connect, where "127"
// reads as 127.0.0.0).
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

}  // namespace

int Listener::Open(uint16_t port) {
  Close();
  // An invalid restriction listens nowhere rather than everywhere.
  uint8_t address[4];
  if (!ListenAddress(address)) return VX_E_INVALID_PARAMETER;
  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return VX_E_HOST_NOT_FOUND;
  plat::SetBlocking(s, false);
  if (plat::Bind(s, address, port) != 0 || plat::Listen(s, 1) != 0) {
    plat::CloseSocket(s);
    return VX_E_HOST_NOT_FOUND;
  }
  socket_.store(s);
  return VX_OK;
}

plat::Socket Listener::Accept() {
  const plat::Socket l = socket_.load();
  if (l == plat::kInvalidSocket) return plat::kInvalidSocket;
  const plat::Socket s = plat::Accept(l);
  if (s != plat::kInvalidSocket) plat::SetBlocking(s, true);
  return s;
}

void Listener::Close() {
  const plat::Socket l = socket_.exchange(plat::kInvalidSocket);
  if (l != plat::kInvalidSocket) plat::CloseSocket(l);
}

uint16_t Listener::Port() const {
  const plat::Socket l = socket_.load();
  return l == plat::kInvalidSocket ? 0 : plat::LocalPort(l);
}

}  // namespace vxb
