// A stand-in for the viewer, for tests. It listens on an ephemeral loopback
// port (or connects to a listening host) and splits what it receives into
// frames. Two modes:
//   kResponder  a background thread takes every connection, records each
//               message and answers it through the responder;
//   kScript     no thread of its own: the test (or a script on Run) decides
//               byte by byte what is read, what is sent and how the
//               connection ends, so the viewer can also stop reading, go
//               silent mid-frame, close or reset.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "test_support.h"

namespace vxtest {

// A loopback port nobody listens on right now (bound once, then released).
uint16_t FreeLoopbackPort();

// Frame bytes: 4-byte little-endian length, then the message.
std::string Frame(const std::string& message);
// A frame whose prefix says `declared` whatever the size of message.
std::string FrameDeclaring(uint32_t declared, const std::string& message);
// "RET code,len,payload" framed.
std::string RetFrame(int code, const std::string& payload);

class TestPeer {
 public:
  enum class Mode { kResponder, kScript };
  // Answers one received message (without its prefix); the returned bytes
  // are sent as they are (use Frame/RetFrame). Empty: send nothing.
  using Responder = std::function<std::string(const std::string& message)>;

  explicit TestPeer(Mode mode = Mode::kResponder);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // Viewer role: listens on an ephemeral port and returns it (0 on failure).
  uint16_t Listen();
  // Host-listens role: connects to 127.0.0.1:port.
  bool ConnectTo(uint16_t port);
  // Script mode: takes the host's next connection.
  bool Accept(int timeoutMs = 10000);
  // Responder mode: waits until the host has connected.
  bool WaitConnected(int timeoutMs = 5000);

  void SetResponder(Responder r) {
    std::lock_guard<std::mutex> g(mu_);
    responder_ = std::move(r);
  }
  // Raw bytes on the wire, in one send per call; or in pieces of `piece`
  // bytes with pauseMs between them, each in a segment of its own.
  bool SendRaw(const std::string& bytes);
  bool SendFrame(const std::string& message) { return SendRaw(Frame(message)); }
  bool SendPieces(const std::string& bytes, size_t piece, int pauseMs);
  void LimitSendWait(int timeoutMs) { vxtest::LimitSendWait(Conn(), timeoutMs); }
  // A slow reader from now on: at most bytesPerMs bytes for each
  // millisecond that passes (0: as fast as they come).
  void PaceReading(size_t bytesPerMs) {
    std::lock_guard<std::mutex> g(mu_);
    pace_ = bytesPerMs;
    paceStart_ = std::chrono::steady_clock::now();
    pacedBytes_ = 0;
  }
  // The next whole message from the host (prefix removed); false on
  // time-out or when the host closed first.
  bool NextMessage(std::string* message, int timeoutMs = 10000);
  // Everything received so far, prefixes included.
  std::string RawReceived() {
    std::lock_guard<std::mutex> g(mu_);
    return raw_;
  }
  size_t MessagesReceived() {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
  }
  // Connections taken so far (a responder takes one after another).
  size_t Connections() {
    std::lock_guard<std::mutex> g(mu_);
    return connections_;
  }
  // Waits until the host closed its end (script mode: reading and dropping
  // whatever still arrives).
  bool WaitClosedByHost(int timeoutMs = 10000);
  // Orderly end (FIN), or (script mode) an abortive one (RST).
  void Close();
  void Reset();

  // Script mode: runs script on a thread of the viewer's own while the test
  // thread makes host calls; Join waits for it.
  void Run(std::function<void(TestPeer&)> script);
  void Join() { if (thread_.joinable()) thread_.join(); }

 private:
  void AcceptLoop();
  void Adopt(vxb::plat::Socket s);
  void ReadLoop(vxb::plat::Socket s);
  bool ReadSome(vxb::plat::Socket s, int timeoutMs);
  bool Await(const std::function<bool()>& done, int timeoutMs);
  vxb::plat::Socket Conn() {
    std::lock_guard<std::mutex> g(sendMu_);
    return conn_;
  }

  const Mode mode_;
  vxb::plat::Socket listener_ = vxb::plat::kInvalidSocket;
  vxb::plat::Socket conn_ = vxb::plat::kInvalidSocket;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mu_;      // everything below
  std::mutex sendMu_;  // conn_
  std::condition_variable cv_;
  std::string raw_;
  std::string pending_;  // bytes that do not make a whole frame yet
  std::deque<std::string> messages_;
  size_t received_ = 0;
  size_t connections_ = 0;
  bool connected_ = false;
  bool hostClosed_ = false;
  Responder responder_;
  size_t pace_ = 0;
  std::chrono::steady_clock::time_point paceStart_;
  size_t pacedBytes_ = 0;
};

}  // namespace vxtest
