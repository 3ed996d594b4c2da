#include "sim_replay.h"

#include "sim_accept.h"
#include "sim_frame.h"
#include "sim_pattern.h"
#include "sim_trace.h"

#include <algorithm>
#include <chrono>
#include <iostream>

namespace vxsim {
namespace {

using Clock = std::chrono::steady_clock;

bool isAnswer(const std::string& message) { return message.compare(0, 4, "RET ") == 0; }

// The message as the allow patterns see it (see ReplayOptions).
std::string patternText(const std::string& message) {
  std::string text = message.compare(0, 4, "EXE ") == 0 ? message.substr(4) : message;
  if (!isAnswer(message) && !text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string shown(const std::string& message) {
  constexpr std::size_t kShown = 200;
  std::string text = escapeText(message.substr(0, kShown));
  if (message.size() > kShown) text += "... (" + std::to_string(message.size()) + " bytes)";
  return text;
}

// The host writes two streams that the wire keeps apart: its own calls, in
// the order it makes them, and its answers to the viewer's calls, in the
// order of those calls (the k-th answer is for the k-th call). Each stream
// is compared with the recorded one frame by frame as it arrives; how the
// two interleave is up to the host's threads and is not compared. A viewer
// frame goes out once every host frame recorded before it has come, which
// is the point of the conversation where the viewer sent it.
class Replay {
 public:
  Replay(os::Socket host, const RecordedSession& session, const ReplayOptions& options)
      : host_(host), session_(session), options_(options), frames_(session.frames),
        place_(frames_.size()), number_(frames_.size()) {
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      if (!isHostFrame(i)) continue;
      std::vector<std::size_t>& stream = isAnswer(frames_[i].message) ? answers_ : calls_;
      place_[i] = stream.size();
      stream.push_back(i);
      number_[i] = ++hostFrames_;
    }
  }

  ReplayOutcome run() {
    char buffer[64 * 1024];
    auto heard = Clock::now();
    for (;;) {
      if (!advance()) return outcome_;
      const bool done =
          cursor_ == frames_.size() && gotCalls_ == calls_.size() && gotAnswers_ == answers_.size();
      if (done && session_.closedBy != "host") return succeed();  // the viewer (or the proxy) closed
      if (os::stopRequested()) return diverge(awaited(), "(vxsim was stopped)");
      const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - heard).count();
      if (options_.timeoutMs > 0 && quiet >= options_.timeoutMs)
        return diverge(awaited(), "(nothing from the host for " + durationText(options_.timeoutMs) + ")");
      const int ready = os::waitReadable(host_, 100);
      if (ready == 0) continue;
      const long n = ready < 0 ? -1 : os::receiveSome(host_, buffer, sizeof buffer);
      // A host whose every call has come may close before it answered the
      // viewer's last calls: whether its library got to them first is timing.
      if (n <= 0) {
        if (done || gotCalls_ == calls_.size()) return succeed();
        return diverge(awaited(), "(the host closed the connection)");
      }
      heard = Clock::now();
      reader_.feed(buffer, static_cast<std::size_t>(n));
      std::string message, err;
      FrameReader::Result got;
      // The viewer's frames that each host frame lets go out leave before
      // the next host frame is looked at.
      while ((got = reader_.next(message, err)) == FrameReader::Result::Message)
        if (!take(message) || !advance()) return outcome_;
      if (got == FrameReader::Result::TooLarge) return diverge(awaited(), "(" + err + ")");
    }
  }

 private:
  bool isHostFrame(std::size_t i) const { return frames_[i].side == Side::Host && !frames_[i].cut; }

  // Sends the viewer's frames up to the first host frame still to come.
  bool advance() {
    for (; cursor_ < frames_.size(); ++cursor_) {
      const RecordedFrame& f = frames_[cursor_];
      if (f.side == Side::Viewer) {
        if (options_.trace && !f.cut) std::cerr << traceFrame(true, f.message) << std::flush;
        const std::string bytes = f.cut ? f.message : frame(f.message);
        std::string err;
        if (!os::sendAll(host_, bytes.data(), bytes.size(), err)) {
          diverge(awaited(), "(the host closed the connection)");
          return false;
        }
        ++outcome_.viewerFrames;
        if (!f.cut && !isAnswer(f.message)) ++callsSent_;
        continue;
      }
      if (f.cut) continue;  // bytes the recorded host left unfinished: nothing to wait for
      if (place_[cursor_] >= (isAnswer(f.message) ? gotAnswers_ : gotCalls_)) return true;
    }
    return true;
  }

  bool take(const std::string& message) {
    if (options_.trace) std::cerr << traceFrame(false, message) << std::flush;
    const bool answer = isAnswer(message);
    const std::vector<std::size_t>& stream = answer ? answers_ : calls_;
    std::size_t& got = answer ? gotAnswers_ : gotCalls_;
    // An answer to a viewer's call that the recorded host closed before it
    // answered: timing again (see above). Beyond the calls sent, an answer
    // is one more than the recorded host wrote.
    if (answer && got == stream.size() && got + extraAnswers_ < callsSent_) {
      ++extraAnswers_;
      return true;
    }
    if (got == stream.size()) {
      diverge(std::string::npos, shown(message),
              answer ? "(no more answers of the host)" : "(no more calls of the host)");
      return false;
    }
    const std::size_t want = stream[got];
    if (!same(frames_[want].message, message)) {
      const std::string& expected = frames_[want].message;
      diverge(want, shown(message));
      const auto differ = std::mismatch(expected.begin(), expected.end(), message.begin(), message.end());
      const auto at = differ.first - expected.begin();
      outcome_.report += "  (the first difference is at byte " + std::to_string(at) + " of the message)\n";
      return false;
    }
    ++got;
    ++outcome_.hostFrames;
    return true;
  }

  bool same(const std::string& want, const std::string& got) const {
    if (want == got) return true;
    if (want.compare(0, 4, got, 0, 4) != 0) return false;
    const std::string a = patternText(want), b = patternText(got);
    for (const std::string& pattern : options_.allow)
      if (matchesPattern(pattern, a) && matchesPattern(pattern, b)) return true;
    return false;
  }

  // The recorded host frame the replay waits for; npos once there is none.
  std::size_t awaited() const {
    for (std::size_t i = cursor_; i < frames_.size(); ++i)
      if (isHostFrame(i)) return i;
    return std::string::npos;
  }

  ReplayOutcome succeed() {
    outcome_.ok = true;
    return outcome_;
  }

  // The report names the recorded host frame that was expected (its number
  // among the host's frames, and its line in the recording), so that it
  // points at the same place whatever order the host's threads wrote in.
  ReplayOutcome diverge(std::size_t expected, const std::string& actual, const char* none = nullptr) {
    const bool end = expected == std::string::npos;
    const char* last = session_.closedBy == "host" ? "(the host closes the connection)" : "(nothing more)";
    const std::string what = end ? (none != nullptr ? none : last) : shown(frames_[expected].message);
    outcome_.report = "session " + std::to_string(session_.number) + " diverged at the host's frame " +
                      std::to_string(end ? hostFrames_ + 1 : number_[expected]) +
                      (end ? "" : " (recording line " + std::to_string(frames_[expected].line) + ")") +
                      ":\n  expected: " + what + "\n  actual:   " + actual + "\n";
    return outcome_;
  }

  os::Socket host_;
  const RecordedSession& session_;
  const ReplayOptions& options_;
  const std::vector<RecordedFrame>& frames_;
  std::vector<std::size_t> calls_, answers_;  // indices of the host's frames, by stream
  std::vector<std::size_t> place_;            // each host frame's place in its stream
  std::vector<std::size_t> number_;           // each host frame's number among the host's frames
  std::size_t hostFrames_ = 0;
  std::size_t callsSent_ = 0, extraAnswers_ = 0;  // the viewer's calls sent; answers beyond the recording
  std::size_t cursor_ = 0;                    // the first frame not yet sent or seen
  std::size_t gotCalls_ = 0, gotAnswers_ = 0;
  FrameReader reader_;
  ReplayOutcome outcome_;
};

}  // namespace

ReplayOutcome replaySession(os::Socket host, const RecordedSession& session, const ReplayOptions& options) {
  return Replay(host, session, options).run();
}

int runReplay(os::Socket listener, const Recording& recording, const ReplayOptions& options) {
  for (const RecordedSession& session : recording.sessions) {
    std::string err;
    const os::Socket host = acceptHost(listener, options.timeoutMs, err);
    if (host == os::kNoSocket) {
      std::cerr << "vxsim: replay of session " << session.number << ": "
                << (err.empty() ? "stopped before a host connected" : err) << "\n";
      return 1;
    }
    const ReplayOutcome outcome = replaySession(host, session, options);
    os::closeSocket(host);
    if (!outcome.ok) {
      std::cerr << "vxsim: replay of " << outcome.report << std::flush;
      return 1;
    }
    std::cout << "session " << session.number << " replayed as recorded: " << outcome.hostFrames
              << " frames of the host checked, " << outcome.viewerFrames << " frames of the viewer sent"
              << std::endl;
  }
  return 0;
}

}  // namespace vxsim
