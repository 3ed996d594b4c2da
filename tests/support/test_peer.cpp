#include "test_peer.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace vxtest {
namespace plat = vxb::plat;
using Clock = std::chrono::steady_clock;

namespace {

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

uint16_t FreeLoopbackPort() { return TestPeer(TestPeer::Mode::kScript).Listen(); }

std::string FrameDeclaring(uint32_t declared, const std::string& message) {
  std::string f;
  for (int shift = 0; shift < 32; shift += 8) f += static_cast<char>((declared >> shift) & 0xFF);
  return f + message;
}

std::string Frame(const std::string& message) {
  return FrameDeclaring(static_cast<uint32_t>(message.size()), message);
}

std::string RetFrame(int code, const std::string& payload) {
  return Frame("RET " + std::to_string(code) + "," + std::to_string(payload.size()) + "," + payload);
}

TestPeer::TestPeer(Mode mode) : mode_(mode) { plat::SocketsStart(); }

TestPeer::~TestPeer() {
  stopping_ = true;  // the background thread polls it every few ms
  if (thread_.joinable()) thread_.join();
  if (conn_ != plat::kInvalidSocket) plat::CloseSocket(conn_);
  if (listener_ != plat::kInvalidSocket) plat::CloseSocket(listener_);
  plat::SocketsStop();
}

uint16_t TestPeer::Listen() {
  listener_ = plat::TcpSocket();
  if (plat::BindAny(listener_, 0) != 0 || plat::Listen(listener_, 4) != 0) return 0;
  plat::SetBlocking(listener_, false);
  if (mode_ == Mode::kResponder) thread_ = std::thread([this] { AcceptLoop(); });
  return plat::LocalPort(listener_);
}

bool TestPeer::Accept(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const plat::Socket s = plat::Accept(listener_);
    if (s != plat::kInvalidSocket) {
      plat::SetBlocking(s, true);
      Adopt(s);
      return true;
    }
    if (MsLeft(deadline) == 0 || stopping_) return false;
    plat::SleepMs(1);
  }
}

// A new connection starts with a clean slate.
void TestPeer::Adopt(plat::Socket s) {
  plat::SetNoDelay(s);
  {
    std::lock_guard<std::mutex> gs(sendMu_);
    conn_ = s;
  }
  std::lock_guard<std::mutex> g(mu_);
  connected_ = true;
  ++connections_;
  hostClosed_ = false;
  pending_.clear();
  if (mode_ == Mode::kScript) messages_.clear();
  cv_.notify_all();
}

void TestPeer::AcceptLoop() {
  while (!stopping_) {
    if (!Accept(2)) continue;
    ReadLoop(conn_);
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
  Adopt(s);
  if (mode_ == Mode::kResponder) thread_ = std::thread([this, s] { ReadLoop(s); });
  return true;
}

void TestPeer::ReadLoop(plat::Socket s) {
  while (!stopping_ && ReadSome(s, 2)) {
  }
}

// Reads what arrives within timeoutMs; false once the stream has ended.
bool TestPeer::ReadSome(plat::Socket s, int timeoutMs) {
  if (s != plat::kInvalidSocket && !plat::WaitReadable(s, static_cast<uint32_t>(timeoutMs))) {
    return true;
  }
  char buf[65536];
  size_t room = sizeof buf;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (pace_ > 0) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - paceStart_).count();
      room = std::min(room, static_cast<size_t>(ms) * pace_ - std::min(static_cast<size_t>(ms) * pace_, pacedBytes_));
    }
  }
  if (room == 0) {
    plat::SleepMs(1);
    return true;
  }
  const int n = s == plat::kInvalidSocket ? 0 : plat::Recv(s, buf, static_cast<int>(room), false);
  std::vector<std::string> complete;
  Responder responder;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (n <= 0) {
      hostClosed_ = true;
      cv_.notify_all();
      return false;
    }
    pacedBytes_ += static_cast<size_t>(n);
    // A script viewer may take millions of bytes: only the responder's
    // raw record is kept.
    if (mode_ == Mode::kResponder) raw_.append(buf, static_cast<size_t>(n));
    pending_.append(buf, static_cast<size_t>(n));
    size_t at = 0;
    while (pending_.size() - at >= 4) {
      const auto* p = reinterpret_cast<const uint8_t*>(pending_.data() + at);
      const size_t len = p[0] | p[1] << 8 | p[2] << 16 | static_cast<size_t>(p[3]) << 24;
      if (pending_.size() - at - 4 < len) break;
      complete.push_back(pending_.substr(at + 4, len));
      at += 4 + len;
    }
    pending_.erase(0, at);
    responder = responder_;
  }
  for (const std::string& m : complete) {
    if (responder) {
      const std::string answer = responder(m);
      if (!answer.empty()) SendRaw(answer);
    }
    std::lock_guard<std::mutex> g(mu_);
    messages_.push_back(m);
    ++received_;
    cv_.notify_all();
  }
  return true;
}

bool TestPeer::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> g(sendMu_);
  if (conn_ == plat::kInvalidSocket) return false;
  return plat::Send(conn_, bytes.data(), static_cast<int>(bytes.size())) >= 0;
}

bool TestPeer::SendPieces(const std::string& bytes, size_t piece, int pauseMs) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (at != 0 && pauseMs > 0) plat::SleepMs(static_cast<uint32_t>(pauseMs));
    if (!SendRaw(bytes.substr(at, piece))) return false;
  }
  return true;
}

// Until done() holds (checked under mu_): the responder's thread reads
// meanwhile, a script viewer reads here. False on time-out, or once a
// script viewer's host closed.
bool TestPeer::Await(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> g(mu_);
  while (!done()) {
    const int left = std::min(MsLeft(deadline), 50);
    if (left == 0 || (mode_ == Mode::kScript && hostClosed_)) return false;
    if (mode_ == Mode::kResponder) {
      cv_.wait_for(g, std::chrono::milliseconds(left));
      continue;
    }
    g.unlock();
    ReadSome(Conn(), left);
    g.lock();
  }
  return true;
}

bool TestPeer::NextMessage(std::string* message, int timeoutMs) {
  return Await(
      [&] {
        if (messages_.empty()) return false;
        *message = messages_.front();
        messages_.pop_front();
        return true;
      },
      timeoutMs);
}

bool TestPeer::WaitConnected(int timeoutMs) {
  return Await([this] { return connected_; }, timeoutMs);
}

bool TestPeer::WaitClosedByHost(int timeoutMs) {
  return Await(
      [this] {
        if (mode_ == Mode::kScript) messages_.clear();  // read and dropped
        return hostClosed_;
      },
      timeoutMs);
}

void TestPeer::Close() {
  std::lock_guard<std::mutex> g(sendMu_);
  if (conn_ == plat::kInvalidSocket) return;
  plat::ShutdownBoth(conn_);
  if (mode_ == Mode::kResponder) return;  // the reader closes it
  plat::CloseSocket(conn_);
  conn_ = plat::kInvalidSocket;
}

void TestPeer::Reset() {
  std::lock_guard<std::mutex> g(sendMu_);
  if (conn_ != plat::kInvalidSocket) plat::CloseSocketAbortive(conn_);
  conn_ = plat::kInvalidSocket;
}

void TestPeer::Run(std::function<void(TestPeer&)> script) {
  Join();
  thread_ = std::thread([this, script] { script(*this); });
}

}  // namespace vxtest
