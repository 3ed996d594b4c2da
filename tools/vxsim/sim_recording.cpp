#include "sim_recording.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vxsim {

const char* sideName(Side side) { return side == Side::Host ? "host" : "viewer"; }

RecordingWriter::RecordingWriter(std::ostream& out) : out_(out) {
  out_ << kRecordingMagic << " " << kRecordingVersion << "\n" << std::flush;
}

void RecordingWriter::beginSession() {
  start_ = std::chrono::steady_clock::now();
  out_ << "session " << ++sessions_ << "\n" << std::flush;
}

void RecordingWriter::frame(Side side, const std::string& message) { record(sideName(side), message); }

void RecordingWriter::cut(Side side, const std::string& bytes) {
  record(std::string(sideName(side)) + "-cut", bytes);
}

void RecordingWriter::end(const std::string& closedBy) {
  out_ << "end " << seconds() << " " << closedBy << "\n" << std::flush;
}

void RecordingWriter::record(const std::string& kind, const std::string& bytes) {
  out_ << kind << " " << seconds() << " " << bytes.size() << "\n";
  out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out_ << "\n" << std::flush;
}

std::string RecordingWriter::seconds() const {
  using std::chrono::microseconds;
  const auto us = std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start_);
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us.count() / 1000000),
                static_cast<long long>(us.count() % 1000000));
  return text;
}

namespace {

// Reads the recording record by record; a frame's bytes are taken by their
// length, never by looking for a line end in them.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}

  bool read(Recording& out, std::string& err) {
    std::string first;
    const std::string want = std::string(kRecordingMagic) + " " + std::to_string(kRecordingVersion);
    if (!nextLine(first) || first != want) {
      err = first.compare(0, std::string(kRecordingMagic).size() + 1, std::string(kRecordingMagic) + " ") == 0
                ? "recording format " + first.substr(first.find(' ') + 1) + " is not one this vxsim reads (" +
                      std::to_string(kRecordingVersion) + ")"
                : "not a vxsim recording: the first line must be '" + want + "'";
      return false;
    }
    RecordedSession* session = nullptr;
    bool ended = false;
    for (std::string line; nextLine(line);) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> words = split(line);
      const std::string& kind = words[0];
      if (kind == "session") {
        const int expected = static_cast<int>(out.sessions.size()) + 1;
        if (words.size() != 2 || words[1] != std::to_string(expected))
          return fail(err, "expected 'session " + std::to_string(expected) + "'");
        out.sessions.push_back(RecordedSession{expected, {}, "host", line_});
        session = &out.sessions.back();
        ended = false;
        continue;
      }
      if (session == nullptr || ended)
        return fail(err, "'" + kind + "' outside a session (a session begins with 'session N')");
      double seconds = 0;
      if (words.size() < 2 || !parseSeconds(words[1], seconds))
        return fail(err, "'" + kind + "' needs the seconds since the session began, as in 0.000412");
      if (kind == "end") {
        if (words.size() != 3 || (words[2] != "host" && words[2] != "viewer" && words[2] != "proxy"))
          return fail(err, "expected 'end SECONDS host|viewer|proxy'");
        session->closedBy = words[2];
        ended = true;
        continue;
      }
      RecordedFrame f;
      f.line = line_;
      f.seconds = seconds;
      f.cut = kind == "host-cut" || kind == "viewer-cut";
      f.side = kind.compare(0, 4, "host") == 0 ? Side::Host : Side::Viewer;
      if (!f.cut && kind != "host" && kind != "viewer")
        return fail(err, "unknown record '" + kind + "' (session, host, viewer, host-cut, viewer-cut or end)");
      unsigned long long length = 0;
      if (words.size() != 3 || !parseLength(words[2], length))
        return fail(err, "expected '" + kind + " SECONDS LENGTH'");
      if (bytes_.size() - pos_ < length + 1 || bytes_[pos_ + length] != '\n')
        return fail(err, "the record does not hold " + words[2] + " bytes followed by a line feed");
      f.message = bytes_.substr(pos_, length);
      for (char c : f.message) line_ += c == '\n';
      pos_ += length + 1;
      ++line_;
      session->frames.push_back(std::move(f));
    }
    return true;
  }

  int line() const { return line_; }

 private:
  bool nextLine(std::string& line) {
    if (pos_ >= bytes_.size()) return false;
    std::size_t end = bytes_.find('\n', pos_);
    if (end == std::string::npos) end = bytes_.size();
    line = bytes_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos_ = end + 1;
    ++line_;
    return true;
  }

  static std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    std::size_t b = 0;
    while ((b = line.find_first_not_of(' ', b)) != std::string::npos) {
      const std::size_t e = line.find(' ', b);
      words.push_back(line.substr(b, e - b));
      b = e;
    }
    if (words.empty()) words.push_back("");
    return words;
  }

  static bool parseSeconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
  }

  static bool parseLength(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
      return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= 0xFFFFFFFFull;
  }

  bool fail(std::string& err, const std::string& what) const {
    err = what;
    return false;
  }

  const std::string& bytes_;
  std::size_t pos_ = 0;
  int line_ = 0;
};

}  // namespace

bool parseRecording(const std::string& bytes, Recording& out, std::string& err) {
  out = Recording{};
  Reader reader(bytes);
  if (reader.read(out, err)) {
    if (!out.sessions.empty()) return true;
    err = "the recording holds no session";
  }
  err = "line " + std::to_string(std::max(reader.line(), 1)) + ": " + err;
  return false;
}

bool loadRecording(const std::string& path, Recording& out, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read the recording " + path;
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (parseRecording(bytes, out, err)) return true;
  err = path + ":" + err.substr(5);
  return false;
}

}  // namespace vxsim
