// RawViewer: a test viewer that misbehaves on purpose. Unlike TestPeer it
// has no background reader: the test (or a script running on the viewer's
// own thread) decides byte by byte what is sent, what is read and when the
// connection ends, so the viewer can also stop reading altogether, answer
// twice, go silent in the middle of a frame, close or reset.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace vxhostile {

// Frame bytes with a length prefix that may lie: `declared` is written as
// the prefix whatever the size of message.
std::string FrameDeclaring(uint32_t declared, const std::string& message);

class RawViewer {
 public:
  RawViewer();
  ~RawViewer();
  RawViewer(const RawViewer&) = delete;
  RawViewer& operator=(const RawViewer&) = delete;

  // Viewer role: listens on an ephemeral loopback port and returns it.
  uint16_t Listen();
  uint16_t port() const { return port_; }
  // Waits up to timeoutMs for the host to connect (after Listen).
  bool Accept(int timeoutMs = 10000);
  // Host-listens role (server mode): connects to 127.0.0.1:port.
  bool ConnectTo(uint16_t port);
  bool Connected() const { return conn_ != vxb::plat::kInvalidSocket; }

  // Sends bytes as they are in one call.
  bool Send(const std::string& bytes);
  // Sends bytes in pieces of `piece` bytes with a pause of pauseMs between
  // them, so that each piece travels in a segment of its own.
  bool SendPieces(const std::string& bytes, size_t piece, int pauseMs);
  // Next whole message from the host (prefix removed); false on time-out or
  // when the host closed first.
  bool ReadMessage(std::string* message, int timeoutMs = 10000);
  // Reads and discards until the host has closed its end; false on time-out.
  bool WaitHostClosed(int timeoutMs = 10000);

  // Orderly end (FIN), or an abortive one (RST). Either releases the socket.
  void Close();
  void Reset();

  // Runs script on a thread of the viewer's own while the test thread makes
  // host calls; Join waits for it. One script at a time.
  void Run(std::function<void(RawViewer&)> script);
  void Join();

 private:
  bool FillFor(int timeoutMs, bool* closed);

  vxb::plat::Socket listener_ = vxb::plat::kInvalidSocket;
  vxb::plat::Socket conn_ = vxb::plat::kInvalidSocket;
  uint16_t port_ = 0;
  std::string pending_;  // received bytes that do not make a whole frame yet
  std::thread script_;
};

}  // namespace vxhostile
