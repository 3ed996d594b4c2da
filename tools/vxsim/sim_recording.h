// Recordings of host sessions, as `vxsim proxy --record` writes them and
// `vxsim replay` reads them: every frame whole, with the side that wrote it
// and when. A text header line per record, the message bytes raw after it:
//
//   vxsim-recording 1                  format and version, the first line
//   session 1                          one host connection
//   host 0.000412 22                   side, seconds since the connection, length
//   EXE VxGetTypeViewer()\n            the message's 22 bytes, then a line feed
//   viewer 0.000950 12
//   RET 0,4,1001                       (a line feed follows the 12 bytes)
//   end 0.031200 host                  who closed the connection first
//
// docs/TESTING.md describes the format in full.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace vxsim {

inline constexpr const char* kRecordingMagic = "vxsim-recording";
inline constexpr int kRecordingVersion = 1;

enum class Side { Host, Viewer };

struct RecordedFrame {
  Side side = Side::Host;
  bool cut = false;     // the bytes of a frame the connection's end cut short
  double seconds = 0;   // since the session began, when the frame was whole
  std::string message;  // the message without its length prefix (cut: every byte)
  int line = 0;         // of its header in the recording
};

struct RecordedSession {
  int number = 0;
  std::vector<RecordedFrame> frames;
  std::string closedBy = "host";  // "host", "viewer" or "proxy" (stopped)
  int line = 0;
};

struct Recording {
  std::vector<RecordedSession> sessions;
};

// Writes a recording as the sessions happen, flushing every record, so that
// whatever ends the process, what was seen is on disk. Not thread-safe: the
// caller serialises (it also decides the records' order).
class RecordingWriter {
 public:
  explicit RecordingWriter(std::ostream& out);
  void beginSession();
  void frame(Side side, const std::string& message);
  void cut(Side side, const std::string& bytes);
  void end(const std::string& closedBy);

 private:
  void record(const std::string& kind, const std::string& bytes);
  std::string seconds() const;

  std::ostream& out_;
  int sessions_ = 0;
  std::chrono::steady_clock::time_point start_;
};

const char* sideName(Side side);

// Returns false with "line N: what is wrong" in err.
bool parseRecording(const std::string& bytes, Recording& out, std::string& err);
// As parseRecording, the error prefixed with the file's name: "FILE:N: ...".
bool loadRecording(const std::string& path, Recording& out, std::string& err);

}  // namespace vxsim
