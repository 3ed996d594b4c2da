#include "ctl_process.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vxctl {

// Shared with the reader threads, which may outlive the Child when a
// process started by the child keeps the pipe open.
struct Child::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::string out, err;
  int openStreams = 0;
};

Child::~Child() {
  if (started_ && !exited_) {
    int status = 0;
    stop(5000, status);
  }
  if (started_) os::releaseChild(proc_);
}

bool Child::start(const std::string& program, const std::vector<std::string>& args, std::string& err,
                  bool captureStderr) {
  os::ChildStart what;
  what.program = program;
  what.args = args;
  what.captureStdout = true;
  what.captureStderr = captureStderr;
  if (!os::startChild(what, proc_, err)) return false;
  started_ = true;
  shared_ = std::make_shared<Shared>();
  auto reader = [](std::shared_ptr<Shared> shared, os::PipeEnd pipe, bool isErr) {
    char buffer[4096];
    for (long n; (n = os::readPipe(pipe, buffer, sizeof buffer)) > 0;) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      (isErr ? shared->err : shared->out).append(buffer, static_cast<std::size_t>(n));
      shared->changed.notify_all();
    }
    os::closePipe(pipe);
    std::lock_guard<std::mutex> lock(shared->mutex);
    --shared->openStreams;
    shared->changed.notify_all();
  };
  for (const auto& [pipe, isErr] : {std::pair{proc_.out, false}, std::pair{proc_.err, true}}) {
    if (pipe == os::kNoPipe) continue;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      ++shared_->openStreams;
    }
    std::thread(reader, shared_, pipe, isErr).detach();
  }
  proc_.out = proc_.err = os::kNoPipe;  // owned by the readers now
  return true;
}

bool Child::waitForLine(const std::string& prefix, int timeoutMs, std::string& line, bool onStderr) {
  if (!started_) return false;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  const std::string& text = onStderr ? shared_->err : shared_->out;
  auto found = [&] {
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string l = text.substr(start, end - start);
      if (!l.empty() && l.back() == '\r') l.pop_back();
      if (l.compare(0, prefix.size(), prefix) == 0) {
        line = l;
        return true;
      }
    }
    return false;
  };
  return shared_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return found() || shared_->openStreams == 0;
  }) && found();
}

bool Child::waitOutputEnd(int timeoutMs) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return shared_->openStreams == 0; });
}

bool Child::waitExit(int timeoutMs, int& status) {
  if (!started_) return false;
  if (!exited_) {
    if (!os::waitChild(proc_, timeoutMs, status)) return false;
    exited_ = true;
    os::releaseChild(proc_);
  }
  // The last lines may still be on their way through the pipe.
  return waitOutputEnd(2000);
}

bool Child::stop(int timeoutMs, int& status) {
  if (!started_) return false;
  if (!exited_) os::stopChild(proc_);
  return waitExit(timeoutMs, status);
}

std::string Child::out() const {
  if (!shared_) return std::string();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->out;
}

std::string Child::err() const {
  if (!shared_) return std::string();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->err;
}

std::vector<std::string> Child::outLines() const {
  std::vector<std::string> lines;
  const std::string text = out();
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string l = text.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

}  // namespace vxctl
