#include "sim_detach.h"

#include "sim_accept.h"
#include "sim_os.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

namespace vxsim {
namespace {

std::string readLog(const std::string& log) {
  std::ifstream in(log, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The rest of the line that starts with prefix, if a whole one is there.
bool findLine(const std::string& text, const std::string& prefix, std::string& rest) {
  for (std::size_t at = 0; (at = text.find(prefix, at)) != std::string::npos; at += prefix.size()) {
    const std::size_t end = text.find('\n', at);
    if ((at == 0 || text[at - 1] == '\n') && end != std::string::npos) {
      rest = text.substr(at + prefix.size(), end - at - prefix.size());
      if (!rest.empty() && rest.back() == '\r') rest.pop_back();
      return true;
    }
  }
  return false;
}

int statusOf(const std::string& text) { return std::atoi(text.c_str()); }

}  // namespace

int startInBackground(const std::vector<std::string>& args, const std::string& log, int timeoutMs) {
  std::ofstream(log, std::ios::binary | std::ios::trunc).close();  // no lines of an earlier run
  std::vector<std::string> all = args;
  all.push_back("--detached");
  std::string err;
  if (!os::startDetached(all, log, err)) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = readLog(log);
    std::string rest;
    if (findLine(text, "listening on port ", rest)) {
      std::cout << "listening on port " << rest << std::endl;
      return 0;
    }
    if (findLine(text, kStatusLine, rest)) {
      std::cerr << text;
      return statusOf(rest) != 0 ? statusOf(rest) : 1;
    }
    os::sleepMs(20);
  }
  std::cerr << "vxsim: the replay in the background did not listen within " << durationText(timeoutMs)
            << "; see " << log << "\n";
  return 1;
}

int waitForBackground(const std::string& log, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::string text = readLog(log);
    std::string rest;
    if (findLine(text, kStatusLine, rest)) {
      std::cout << text << std::flush;
      return statusOf(rest);
    }
    if (timeoutMs > 0 && std::chrono::steady_clock::now() >= deadline) {
      std::cout << text;
      std::cerr << "vxsim: " << log << " has no exit status after " << durationText(timeoutMs)
                << " (is the replay still running?)\n";
      return 1;
    }
    os::sleepMs(50);
  }
}

}  // namespace vxsim
