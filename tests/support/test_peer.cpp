#include "test_peer.h"

#include <chrono>

namespace vxtest {
namespace plat = vxb::plat;

uint16_t FreeLoopbackPort() {
  plat::SocketsStart();
  const plat::Socket s = plat::TcpSocket();
  plat::BindAny(s, 0);
  const uint16_t port = plat::LocalPort(s);
  plat::CloseSocket(s);
  plat::SocketsStop();
  return port;
}

std::string Frame(const std::string& message) {
  const auto n = static_cast<uint32_t>(message.size());
  std::string f;
  f += static_cast<char>(n & 0xFF);
  f += static_cast<char>((n >> 8) & 0xFF);
  f += static_cast<char>((n >> 16) & 0xFF);
  f += static_cast<char>((n >> 24) & 0xFF);
  return f + message;
}

std::string RetFrame(int code, const std::string& payload) {
  return Frame("RET " + std::to_string(code) + "," + std::to_string(payload.size()) + "," + payload);
}

TestPeer::TestPeer() { plat::SocketsStart(); }

TestPeer::~TestPeer() {
  Stop();
  plat::SocketsStop();
}

void TestPeer::Stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stopping_ = true;
  }
  // The worker polls and sees stopping_ within a millisecond.
  if (thread_.joinable()) thread_.join();
  if (conn_ != plat::kInvalidSocket) plat::CloseSocket(conn_);
  if (listener_ != plat::kInvalidSocket) plat::CloseSocket(listener_);
  conn_ = listener_ = plat::kInvalidSocket;
}

uint16_t TestPeer::Listen() {
  listener_ = plat::TcpSocket();
  plat::BindAny(listener_, 0);
  plat::Listen(listener_, 4);
  plat::SetBlocking(listener_, false);
  port_ = plat::LocalPort(listener_);
  thread_ = std::thread([this] { AcceptLoop(); });
  return port_;
}

void TestPeer::AcceptLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) return;
    }
    const plat::Socket s = plat::Accept(listener_);
    if (s == plat::kInvalidSocket) {
      plat::SleepMs(2);
      continue;
    }
    plat::SetBlocking(s, true);
    plat::SetNoDelay(s);
    {
      std::lock_guard<std::mutex> g(sendMu_);
      conn_ = s;
    }
    {
      std::lock_guard<std::mutex> g(mu_);
      connected_ = true;
      hostClosed_ = false;
      resetRequested_ = false;
    }
    cv_.notify_all();
    ReadLoop(s);
    // Serve the host's next connection too.
    std::lock_guard<std::mutex> g(sendMu_);
    if (conn_ != plat::kInvalidSocket) plat::CloseSocket(conn_);
    conn_ = plat::kInvalidSocket;
  }
}

bool TestPeer::ConnectTo(uint16_t port) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const plat::Socket s = plat::TcpSocket();
  if (plat::Connect(s, loopback, port) != 0) {
    plat::CloseSocket(s);
    return false;
  }
  plat::SetNoDelay(s);
  {
    std::lock_guard<std::mutex> g(sendMu_);
    conn_ = s;
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    connected_ = true;
  }
  thread_ = std::thread([this, s] { ReadLoop(s); });
  return true;
}

void TestPeer::ReadLoop(plat::Socket s) {
  // The socket is polled so that this thread alone decides when it is
  // closed: a reset must be the last thing that happens to it.
  std::string pending;
  char buf[65536];
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) return;
      if (resetRequested_) {
        std::lock_guard<std::mutex> gs(sendMu_);
        plat::CloseSocketAbortive(s);
        conn_ = plat::kInvalidSocket;
        break;
      }
    }
    if (!plat::WaitReadable(s, 2)) continue;
    const int n = plat::Recv(s, buf, sizeof buf, false);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    std::vector<std::string> complete;
    while (pending.size() >= 4) {
      const auto* p = reinterpret_cast<const uint8_t*>(pending.data());
      const uint32_t len = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
      if (pending.size() < 4 + static_cast<size_t>(len)) break;
      complete.push_back(pending.substr(4, len));
      pending.erase(0, 4 + static_cast<size_t>(len));
    }
    Responder responder;
    {
      std::lock_guard<std::mutex> g(mu_);
      raw_.append(buf, static_cast<size_t>(n));
      responder = responder_;
    }
    for (const std::string& m : complete) {
      if (responder) {
        const std::string answer = responder(m);
        if (!answer.empty()) SendRaw(answer);
      }
      {
        std::lock_guard<std::mutex> g(mu_);
        messages_.push_back(m);
        ++received_;
      }
      cv_.notify_all();
    }
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    hostClosed_ = true;
  }
  cv_.notify_all();
}

void TestPeer::SetResponder(Responder r) {
  std::lock_guard<std::mutex> g(mu_);
  responder_ = std::move(r);
}

bool TestPeer::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> g(sendMu_);
  if (conn_ == plat::kInvalidSocket) return false;
  return plat::Send(conn_, bytes.data(), static_cast<int>(bytes.size())) >= 0;
}

bool TestPeer::NextMessage(std::string* message, int timeoutMs) {
  std::unique_lock<std::mutex> g(mu_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return !messages_.empty(); })) {
    return false;
  }
  *message = messages_.front();
  messages_.pop_front();
  return true;
}

std::string TestPeer::RawReceived() {
  std::lock_guard<std::mutex> g(mu_);
  return raw_;
}

bool TestPeer::WaitConnected(int timeoutMs) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return connected_; });
}

bool TestPeer::WaitClosedByHost(int timeoutMs) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return hostClosed_; });
}

size_t TestPeer::MessagesReceived() {
  std::lock_guard<std::mutex> g(mu_);
  return received_;
}

void TestPeer::Close() {
  std::lock_guard<std::mutex> g(sendMu_);
  if (conn_ != plat::kInvalidSocket) plat::ShutdownBoth(conn_);
}

void TestPeer::Reset() {
  {
    std::lock_guard<std::mutex> g(mu_);
    resetRequested_ = true;
  }
  WaitUntilReset();
}

void TestPeer::WaitUntilReset() {
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard<std::mutex> g(sendMu_);
      if (conn_ == plat::kInvalidSocket) return;
    }
    plat::SleepMs(1);
  }
}

}  // namespace vxtest
