#include "raw_viewer.h"

#include <chrono>

namespace vxhostile {
namespace plat = vxb::plat;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string FrameDeclaring(uint32_t declared, const std::string& message) {
  std::string f;
  f += static_cast<char>(declared & 0xFF);
  f += static_cast<char>((declared >> 8) & 0xFF);
  f += static_cast<char>((declared >> 16) & 0xFF);
  f += static_cast<char>((declared >> 24) & 0xFF);
  return f + message;
}

RawViewer::RawViewer() { plat::SocketsStart(); }

RawViewer::~RawViewer() {
  Join();
  if (conn_ != plat::kInvalidSocket) plat::CloseSocket(conn_);
  if (listener_ != plat::kInvalidSocket) plat::CloseSocket(listener_);
  plat::SocketsStop();
}

uint16_t RawViewer::Listen() {
  listener_ = plat::TcpSocket();
  if (listener_ == plat::kInvalidSocket) return 0;
  if (plat::BindAny(listener_, 0) != 0 || plat::Listen(listener_, 4) != 0) return 0;
  plat::SetBlocking(listener_, false);
  port_ = plat::LocalPort(listener_);
  return port_;
}

bool RawViewer::Accept(int timeoutMs) {
  if (listener_ == plat::kInvalidSocket) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const plat::Socket s = plat::Accept(listener_);
    if (s != plat::kInvalidSocket) {
      plat::SetBlocking(s, true);
      plat::SetNoDelay(s);
      conn_ = s;
      pending_.clear();
      return true;
    }
    if (MsLeft(deadline) == 0) return false;
    plat::SleepMs(1);
  }
}

bool RawViewer::ConnectTo(uint16_t port) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const plat::Socket s = plat::TcpSocket();
  if (s == plat::kInvalidSocket) return false;
  if (plat::Connect(s, loopback, port) != 0) {
    plat::CloseSocket(s);
    return false;
  }
  plat::SetNoDelay(s);
  conn_ = s;
  pending_.clear();
  return true;
}

bool RawViewer::Send(const std::string& bytes) {
  if (conn_ == plat::kInvalidSocket) return false;
  return plat::Send(conn_, bytes.data(), static_cast<int>(bytes.size())) >= 0;
}

bool RawViewer::SendPieces(const std::string& bytes, size_t piece, int pauseMs) {
  if (piece == 0) piece = 1;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (at != 0 && pauseMs > 0) plat::SleepMs(static_cast<uint32_t>(pauseMs));
    if (!Send(bytes.substr(at, piece))) return false;
  }
  return true;
}

// Reads what is there (waiting at most timeoutMs for the first byte).
// *closed becomes true when the host ended the stream.
bool RawViewer::FillFor(int timeoutMs, bool* closed) {
  *closed = false;
  if (conn_ == plat::kInvalidSocket) {
    *closed = true;
    return false;
  }
  if (!plat::WaitReadable(conn_, static_cast<uint32_t>(timeoutMs))) return false;
  char buf[65536];
  const int n = plat::Recv(conn_, buf, sizeof buf, false);
  if (n <= 0) {
    *closed = true;
    return false;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

bool RawViewer::ReadMessage(std::string* message, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pending_.size() >= 4) {
      const auto* p = reinterpret_cast<const uint8_t*>(pending_.data());
      const uint32_t len = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      if (pending_.size() >= 4 + static_cast<size_t>(len)) {
        *message = pending_.substr(4, len);
        pending_.erase(0, 4 + static_cast<size_t>(len));
        return true;
      }
    }
    const int left = MsLeft(deadline);
    if (left == 0) return false;
    bool closed = false;
    FillFor(left < 50 ? left : 50, &closed);
    if (closed) return false;
  }
}

bool RawViewer::WaitHostClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool closed = false;
    FillFor(50, &closed);
    pending_.clear();
    if (closed) return true;
    if (MsLeft(deadline) == 0) return false;
  }
}

void RawViewer::Close() {
  if (conn_ == plat::kInvalidSocket) return;
  plat::ShutdownBoth(conn_);
  plat::CloseSocket(conn_);
  conn_ = plat::kInvalidSocket;
}

void RawViewer::Reset() {
  if (conn_ == plat::kInvalidSocket) return;
  plat::CloseSocketAbortive(conn_);
  conn_ = plat::kInvalidSocket;
}

void RawViewer::Run(std::function<void(RawViewer&)> script) {
  Join();
  script_ = std::thread([this, script] { script(*this); });
}

void RawViewer::Join() {
  if (script_.joinable()) script_.join();
}

}  // namespace vxhostile
