#include "sim_commands.h"

#include "sim_detach.h"
#include "sim_os.h"
#include "sim_proxy.h"
#include "sim_replay.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <iostream>
#include <memory>
#include <vector>

namespace vxsim {
namespace {

constexpr std::uint16_t kDefaultPort = 27800;  // as for listen
constexpr int kStartTimeoutMs = 60000;         // for a background replay to listen
constexpr int kWaitTimeoutMs = 300000;         // default of vxsim wait

struct CommandLine {
  std::string mode, file;  // file: the recording of replay, the log of wait
  std::uint16_t port = kDefaultPort;
  ProxyOptions proxy;
  bool portGiven = false, toGiven = false;
  std::string record, detachLog;
  bool detached = false;
  ReplayOptions replay;
  int waitTimeoutMs = kWaitTimeoutMs;
};

bool parsePort(const std::string& text, std::uint16_t& port) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  port = static_cast<std::uint16_t>(n);
  return !text.empty() && *end == '\0' && n >= 0 && n <= 65535;
}

// Which options each mode takes, and whether they take a value.
bool takes(const std::string& mode, const std::string& option, bool& flag) {
  static const char* const kProxy[] = {"--listen", "--to", "--record", "--keep", "--trace"};
  static const char* const kReplay[] = {"--port", "--allow", "--timeout", "--trace", "--detach", "--detached"};
  flag = option == "--keep" || option == "--trace" || option == "--detached";
  if (mode == "proxy") return std::find(std::begin(kProxy), std::end(kProxy), option) != std::end(kProxy);
  if (mode == "replay") return std::find(std::begin(kReplay), std::end(kReplay), option) != std::end(kReplay);
  return option == "--timeout";
}

bool parse(int argc, char** argv, CommandLine& c, std::string& why) {
  c.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.compare(0, 2, "--") != 0) {
      if (c.mode == "proxy" || !c.file.empty()) {
        why = "unexpected argument '" + a + "'";
        return false;
      }
      c.file = a;
      continue;
    }
    bool flag = false;
    if (!takes(c.mode, a, flag)) {
      why = c.mode + " has no option " + a;
      return false;
    }
    if (!flag && i + 1 >= argc) {
      why = a + " needs a value";
      return false;
    }
    const std::string v = flag ? "" : argv[++i];
    bool ok = true;
    if (a == "--listen" || a == "--port") {
      ok = parsePort(v, c.port);
      c.portGiven = true;
    } else if (a == "--to") {
      const std::size_t colon = v.rfind(':');
      c.proxy.viewerHost = v.substr(0, colon);
      ok = colon != std::string::npos && colon > 0 && parsePort(v.substr(colon + 1), c.proxy.viewerPort) &&
           c.proxy.viewerPort != 0;
      c.toGiven = true;
    } else if (a == "--record") {
      c.record = v;
    } else if (a == "--keep") {
      c.proxy.keep = true;
    } else if (a == "--trace") {
      c.proxy.trace = c.replay.trace = true;
    } else if (a == "--allow") {
      c.replay.allow.push_back(v);
    } else if (a == "--timeout") {
      char* end = nullptr;
      const long s = std::strtol(v.c_str(), &end, 10);
      ok = !v.empty() && *end == '\0' && s >= 0 && s <= 86400;
      c.replay.timeoutMs = c.waitTimeoutMs = static_cast<int>(s) * 1000;
    } else if (a == "--detach") {
      c.detachLog = v;
    } else if (a == "--detached") {
      c.detached = true;
    }
    if (!ok) {
      why = "invalid value '" + v + "' for " + a;
      return false;
    }
  }
  if (c.mode == "proxy" && (!c.portGiven || !c.toGiven)) why = "proxy needs --listen PORT and --to HOST:PORT";
  if (c.mode != "proxy" && c.file.empty())
    why = c.mode == "replay" ? "replay needs the recording: vxsim replay FILE"
                             : "wait needs the log: vxsim wait LOG";
  return why.empty();
}

os::Socket listenAndSay(std::uint16_t port) {
  std::uint16_t bound = 0;
  std::string err;
  const os::Socket listener = os::listenTcp(port, bound, err);
  if (listener == os::kNoSocket)
    std::cerr << "vxsim: " << err << "\n";
  else
    std::cout << "listening on port " << bound << std::endl;
  return listener;
}

int runProxyCommand(const CommandLine& c) {
  std::ofstream file;
  std::unique_ptr<RecordingWriter> recording;
  if (!c.record.empty()) {
    file.open(c.record, std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "vxsim: cannot write " << c.record << "\n";
      return 1;
    }
    recording = std::make_unique<RecordingWriter>(file);
  }
  const os::Socket listener = listenAndSay(c.port);
  if (listener == os::kNoSocket) return 1;
  const int status = runProxy(listener, c.proxy, recording.get());
  os::closeSocket(listener);
  return status;
}

int runReplayCommand(int argc, char** argv, const CommandLine& c) {
  Recording recording;
  std::string err;
  if (!loadRecording(c.file, recording, err)) {
    std::cerr << "vxsim: " << err << "\n";
    return 2;
  }
  if (!c.detachLog.empty()) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
      if (std::string(argv[i]) == "--detach") ++i;
      else args.push_back(argv[i]);
    }
    return startInBackground(args, c.detachLog, kStartTimeoutMs);
  }
  const os::Socket listener = listenAndSay(c.port);
  if (listener == os::kNoSocket) return 1;
  const int status = runReplay(listener, recording, c.replay);
  os::closeSocket(listener);
  return status;
}

}  // namespace

bool isRecordingCommand(const std::string& word) {
  return word == "proxy" || word == "replay" || word == "wait";
}

int runRecordingCommand(int argc, char** argv) {
  CommandLine c;
  std::string why;
  if (!parse(argc, argv, c, why)) {
    std::cerr << "vxsim: " << why << " (see vxsim --help)\n";
    return 2;
  }
  if (c.mode == "wait") {
    if (!std::ifstream(c.file)) {
      std::cerr << "vxsim: cannot read " << c.file << " (was the replay started with --detach " << c.file
                << "?)\n";
      return 1;
    }
    return waitForBackground(c.file, c.waitTimeoutMs);
  }
  std::string err;
  if (!os::startNetwork(err)) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  os::installStopHandler();
  const int status = c.mode == "proxy" ? runProxyCommand(c) : runReplayCommand(argc, argv, c);
  if (c.detached) std::cout << kStatusLine << status << std::endl;
  return status;
}

}  // namespace vxsim
