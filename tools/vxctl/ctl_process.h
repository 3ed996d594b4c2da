// A child process whose standard output (and, if wanted, standard error) is
// collected in the background, so the caller can wait for a line with a
// time limit and look at everything the child wrote. Used by the demo and
// by the tests that drive vxctl and vxsim.
#pragma once

#include "ctl_os.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vxctl {

class Child {
 public:
  Child() = default;
  // A child still running is ended.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start(const std::string& program, const std::vector<std::string>& args, std::string& err,
             bool captureStderr = false);
  bool started() const { return started_; }
  std::uint32_t pid() const { return proc_.pid; }

  // Waits until the child has written a whole line on stdout (or on its
  // captured stderr) that begins with prefix and returns it (without its
  // line end). False when the time runs out or the output ends first.
  bool waitForLine(const std::string& prefix, int timeoutMs, std::string& line, bool onStderr = false);
  // Waits for the child to end and for its output to be complete: false
  // when it runs on, or when a process it started still holds its output.
  bool waitExit(int timeoutMs, int& status);
  // Asks the child to end and waits for it; status as waitExit.
  bool stop(int timeoutMs, int& status);
  bool exited() const { return exited_; }

  std::string out() const;
  std::string err() const;
  // The whole stdout lines written so far.
  std::vector<std::string> outLines() const;

 private:
  struct Shared;
  bool waitOutputEnd(int timeoutMs);

  os::ChildProcess proc_;
  std::shared_ptr<Shared> shared_;
  bool started_ = false;
  bool exited_ = false;
};

}  // namespace vxctl
