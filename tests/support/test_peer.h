// A scriptable stand-in for the viewer, for tests: it listens on an
// ephemeral loopback port (or connects to a listening host), records every
// byte it receives, splits the stream into frames, and sends whatever a
// test tells it to, byte for byte.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vxtest {

// A loopback port nobody listens on right now (bound once, then released).
uint16_t FreeLoopbackPort();

// Frame bytes: 4-byte little-endian length, then the message.
std::string Frame(const std::string& message);
// "RET code,len,payload" framed.
std::string RetFrame(int code, const std::string& payload);

class TestPeer {
 public:
  // Answers one received message (without its prefix); the returned bytes
  // are sent as they are (use Frame/RetFrame). Empty: send nothing.
  using Responder = std::function<std::string(const std::string& message)>;

  TestPeer();
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // Viewer role: listen on 127.0.0.1-reachable ephemeral port.
  uint16_t Listen();
  uint16_t port() const { return port_; }
  // Host-listens role: connect to 127.0.0.1:port.
  bool ConnectTo(uint16_t port);

  void SetResponder(Responder r);
  // Raw bytes on the wire, in one send per call.
  bool SendRaw(const std::string& bytes);
  bool SendFrame(const std::string& message) { return SendRaw(Frame(message)); }
  // Waits for the next whole received message; false on time-out.
  bool NextMessage(std::string* message, int timeoutMs = 5000);
  // Everything received so far, prefixes included.
  std::string RawReceived();
  // Waits until the host has connected (Listen role).
  bool WaitConnected(int timeoutMs = 5000);
  // Waits until the host closed the connection.
  bool WaitClosedByHost(int timeoutMs = 5000);
  size_t MessagesReceived();
  // Orderly close, or a reset.
  void Close();
  void Reset();

 private:
  void AcceptLoop();
  void ReadLoop(vxb::plat::Socket s);
  void Stop();
  void WaitUntilReset();

  vxb::plat::Socket listener_ = vxb::plat::kInvalidSocket;
  vxb::plat::Socket conn_ = vxb::plat::kInvalidSocket;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::mutex sendMu_;
  std::condition_variable cv_;
  std::string raw_;
  std::deque<std::string> messages_;
  size_t received_ = 0;
  bool connected_ = false;
  bool hostClosed_ = false;
  bool stopping_ = false;
  bool resetRequested_ = false;
  Responder responder_;
};

}  // namespace vxtest
