#include "sim_proxy.h"

#include "sim_accept.h"
#include "sim_frame.h"
#include "sim_trace.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>

namespace vxsim {
namespace {

// One thread per direction, each blocking only on its own socket: a side
// that writes a large message while the other does the same is never held
// up by us, just as with a direct connection.
class Relay {
 public:
  Relay(os::Socket host, os::Socket viewer, RecordingWriter* recording, bool trace)
      : host_(host), viewer_(viewer), recording_(recording), trace_(trace) {}

  std::string run() {
    std::thread toViewer([this] { pump(Side::Host); });
    pump(Side::Viewer);
    toViewer.join();
    return closedBy_.empty() ? "proxy" : closedBy_;
  }

 private:
  void pump(Side from) {
    const os::Socket in = from == Side::Host ? host_ : viewer_;
    const os::Socket out = from == Side::Host ? viewer_ : host_;
    FrameReader reader(0xFFFFFFFFu);  // whatever a side sends, it passes
    std::string message, err;
    char buffer[64 * 1024];
    for (;;) {
      if (os::stopRequested() || aborted_) return;
      const int ready = os::waitReadable(in, 100);
      if (ready == 0) continue;
      const long n = ready < 0 ? -1 : os::receiveSome(in, buffer, sizeof buffer);
      if (n <= 0) {
        // The end passes on too; the other direction goes on until its
        // sender closes in turn.
        std::lock_guard<std::mutex> lock(mutex_);
        if (closedBy_.empty()) closedBy_ = sideName(from);
        if (recording_ != nullptr && !reader.pending().empty()) recording_->cut(from, reader.pending());
        os::shutdownSend(out);
        return;
      }
      reader.feed(buffer, static_cast<std::size_t>(n));
      // Recorded before the bytes that complete it are passed on: an answer
      // to a message can then never be recorded ahead of the message.
      while (reader.next(message, err) == FrameReader::Result::Message) note(from, message);
      if (!os::sendAll(out, buffer, static_cast<std::size_t>(n), err)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closedBy_.empty()) closedBy_ = sideName(from == Side::Host ? Side::Viewer : Side::Host);
        aborted_ = true;  // nowhere to pass anything to: both directions end
        return;
      }
    }
  }

  void note(Side from, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_ != nullptr) recording_->frame(from, message);
    if (trace_) std::cerr << traceFrame(from == Side::Viewer, message) << std::flush;
  }

  os::Socket host_, viewer_;
  RecordingWriter* recording_;
  bool trace_;
  std::mutex mutex_;
  std::string closedBy_;
  std::atomic<bool> aborted_{false};
};

}  // namespace

std::string relay(os::Socket host, os::Socket viewer, RecordingWriter* recording, bool trace) {
  return Relay(host, viewer, recording, trace).run();
}

int runProxy(os::Socket listener, const ProxyOptions& options, RecordingWriter* recording) {
  int status = 0;
  do {
    std::string err;
    const os::Socket host = acceptHost(listener, 0, err);
    if (host == os::kNoSocket) {
      if (!err.empty()) std::cerr << "vxsim: " << err << "\n";
      return err.empty() ? status : 1;
    }
    const os::Socket viewer = os::connectTcp(options.viewerHost, options.viewerPort, err);
    if (viewer == os::kNoSocket) {
      // The host sees the connection end, as it would without us.
      std::cerr << "vxsim: " << err << "; the host's connection is closed\n";
      os::closeSocket(host);
      status = 1;
      continue;
    }
    if (options.trace) std::cerr << "vxsim: host connected, relayed to the viewer\n";
    if (recording != nullptr) recording->beginSession();
    const std::string closedBy = relay(host, viewer, recording, options.trace);
    if (recording != nullptr) recording->end(closedBy);
    os::closeSocket(viewer);
    os::closeSocket(host);
    if (options.trace) std::cerr << "vxsim: connection closed by the " << closedBy << "\n";
    if (closedBy == "proxy") break;
  } while (options.keep);
  return status;
}

}  // namespace vxsim
