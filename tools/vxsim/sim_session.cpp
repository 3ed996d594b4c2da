#include "sim_session.h"

#include "sim_frame.h"
#include "sim_script_viewer.h"
#include "sim_trace.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <iostream>

namespace vxsim {
namespace {

using Clock = std::chrono::steady_clock;

std::string trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

class Session {
 public:
  Session(os::Socket sock, ViewerState& viewer, const SessionOptions& options)
      : sock_(sock), viewer_(viewer), options_(options) {}

  SessionEnd run() {
    char buffer[64 * 1024];
    if (options_.script != nullptr && !play(options_.script->start)) return SessionEnd::PeerClosed;
    for (;;) {
      if (os::stopRequested()) return SessionEnd::Stopped;
      if (options_.waitForAnswers && next_ == options_.calls.size() && waiting_.empty())
        return SessionEnd::AllAnswered;
      if (callDue() && !sendCall()) return SessionEnd::PeerClosed;
      const int ready = os::waitReadable(sock_, waitBudget());
      if (ready == 0) continue;
      const long n = ready < 0 ? -1 : os::receiveSome(sock_, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0) std::cerr << "vxsim: connection lost while receiving\n";
        return SessionEnd::PeerClosed;
      }
      reader_.feed(buffer, static_cast<std::size_t>(n));
      std::string message, err;
      FrameReader::Result got;
      while ((got = reader_.next(message, err)) == FrameReader::Result::Message) {
        if (!handle(message)) return end_;
      }
      if (got == FrameReader::Result::TooLarge) {
        std::cerr << "vxsim: malformed frame: " << err << "; closing the connection\n";
        return SessionEnd::ProtocolError;
      }
    }
  }

 private:
  bool callDue() const {
    if (next_ >= options_.calls.size()) return false;
    if (options_.waitForAnswers && !waiting_.empty()) return false;
    return Clock::now() >= due_;
  }

  // Waits no longer than the next scheduled call, and at most 100 ms so a
  // stop request is noticed promptly.
  int waitBudget() const {
    if (next_ >= options_.calls.size() || (options_.waitForAnswers && !waiting_.empty()))
      return 100;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due_ - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 100));
  }

  bool send(const std::string& message) {
    if (options_.trace) std::cerr << traceFrame(true, message) << std::flush;
    const std::string bytes = frame(message);
    std::string err;
    if (os::sendAll(sock_, bytes.data(), bytes.size(), err)) return true;
    std::cerr << "vxsim: connection lost while sending: " << err << "\n";
    return false;
  }

  bool sendCall() {
    const OutgoingCall& call = options_.calls[next_++];
    waiting_.push_back(call.label);
    due_ = Clock::now() + std::chrono::milliseconds(options_.intervalMs);
    return send(call.message);
  }

  // Simulates a busy viewer, still honouring a stop request: false when
  // one cut the pause short.
  static bool pause(int ms) {
    for (; ms > 0; ms -= 50) {
      if (os::stopRequested()) return false;
      os::sleepMs(std::min(ms, 50));
    }
    return true;
  }

  // False ends the session, with the reason in end_.
  bool handle(const std::string& message) {
    if (options_.trace) std::cerr << traceFrame(false, message) << std::flush;
    Message m;
    std::string err;
    if (!parseMessage(message, m, err)) {
      std::cerr << "vxsim: malformed message \"" << escapeText(message.substr(0, 64))
                << "\": " << err << "; closing the connection\n";
      return fail(SessionEnd::ProtocolError);
    }
    if (m.kind == Kind::Ret) {
      // Answers come in the order of our calls, so this one is for the oldest.
      if (waiting_.empty()) {
        std::cerr << "vxsim: received a RET while none of our calls is waiting; closing\n";
        return fail(SessionEnd::ProtocolError);
      }
      std::cout << "answer " << waiting_.front() << ": code=" << m.code
                << " text=" << escapeText(m.payload) << std::endl;
      waiting_.pop_front();
      return true;
    }
    if (options_.script != nullptr)
      return play(respond(*options_.script, viewer_, m)) || fail(SessionEnd::PeerClosed);
    Reply reply = m.kind == Kind::Sys ? answerSys(viewer_, m.args) : answerCall(viewer_, m.name, m.args);
    // Stopped before the work was done: the command failed, and the host
    // must not read OK for it.
    if (reply.delayMs > 0 && !pause(reply.delayMs)) reply = interrupted(viewer_);
    return send(retMessage(reply.code, reply.payload)) || fail(SessionEnd::PeerClosed);
  }

  // A script's actions in their order; false when the host is gone.
  bool play(const std::vector<Action>& actions) {
    for (const Action& a : actions) {
      if (a.kind == Action::Kind::Wait) {
        pause(a.ms);
      } else if (a.kind == Action::Kind::Call) {
        waiting_.push_back(a.call.label);
        if (!send(a.call.message)) return false;
      } else if (!send(retMessage(a.code, a.text))) {
        return false;
      }
    }
    return true;
  }

  bool fail(SessionEnd why) {
    end_ = why;
    return false;
  }

  os::Socket sock_;
  ViewerState& viewer_;
  const SessionOptions& options_;
  FrameReader reader_;
  std::deque<std::string> waiting_;  // labels of our calls still without an answer
  std::size_t next_ = 0;             // index of the next call to send
  Clock::time_point due_ = Clock::now();
  SessionEnd end_ = SessionEnd::PeerClosed;
};

}  // namespace

bool makeOutgoingCall(const std::string& text, OutgoingCall& out) {
  std::string t = trim(text);
  if (t.compare(0, 4, "SYS ") == 0) {
    const std::string body = trim(t.substr(4));
    out = {"SYS " + body, sysMessage(body)};
    return !body.empty();
  }
  if (t.compare(0, 4, "EXE ") == 0) t = trim(t.substr(4));
  const std::size_t open = t.find('(');
  out.label = trim(t.substr(0, open));
  if (open == std::string::npos) {
    out.message = callMessage(out.label, "");
  } else {
    std::string args = t.substr(open + 1);
    if (!args.empty() && args.back() == ')') args.pop_back();
    out.message = callMessage(out.label, args);
  }
  return !out.label.empty();
}

SessionEnd runSession(os::Socket sock, ViewerState& viewer, const SessionOptions& options) {
  return Session(sock, viewer, options).run();
}

}  // namespace vxsim
