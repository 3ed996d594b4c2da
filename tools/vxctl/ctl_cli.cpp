#include "ctl_cli.h"

#include "ctl_demo.h"
#include "ctl_os.h"
#include "ctl_text.h"
#include "library_settings.h"
#include "vxbridge.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace vxctl {

const char* const kUsage =
    "usage: vxctl [--host H] [--port P] [--lang eng|spa|cat] [--trace] COMMAND [ARGUMENTS]\n"
    "       vxctl --help | --version\n"
    "\n"
    "Drives a Vexa3D viewer (or vxsim) listening on H:P, default 127.0.0.1:27800.\n"
    "\n"
    "commands:\n"
    "  product            print the viewer's product id (1001 Amber, 1002 Cobalt)\n"
    "  version            print the viewer's product version\n"
    "  lang CODE          set the viewer's language: eng, spa or cat\n"
    "  send NAME [ARGS]   send the command NAME(ARGS) and print the viewer's answer\n"
    "  wait               wait until the viewer has done all its work (SYS FLUSH)\n"
    "  cancel             cancel the viewer's pending work (SYS CANCELALL)\n"
    "  error CODE         print the message of a result code; codes above 0 are the\n"
    "                     viewer's own and are asked of it\n"
    "  launch PRODUCT_ID  start the installed viewer unless it runs, connect to H:P\n"
    "                     and print its product id\n"
    "  serve PORT         listen on PORT, accept the viewer, answer each of its\n"
    "                     calls with OK_ACK and print it, until it disconnects\n"
    "  demo               run a complete host session against vxsim, which is\n"
    "                     started from vxctl's own directory\n"
    "\n"
    "--lang chooses the language of the messages vxctl prints. --trace writes every\n"
    "frame the library sends and receives to stderr (VXBRIDGE_TRACE=stderr).\n"
    "Exit status: 0 success; 1 the library or the viewer reported a failure (its\n"
    "message is printed on stderr); 2 bad arguments.\n"
    "\n"
    "The library reads these environment variables:\n"
    "  VXBRIDGE_TRACE=stderr|1|FILE     trace every frame to stderr or append it to FILE\n"
    "                                   (0, false, off, no: no trace)\n"
    "  VXBRIDGE_COMMAND_TIMEOUT_MS=MS   give a command up after MS ms without an answer\n"
    "                                   (returns -6 and closes the connection; unset or 0: wait)\n"
    "  VXBRIDGE_KEEPALIVE_MS=IDLE,INTERVAL,COUNT\n"
    "                                   TCP keep-alive: first probe after IDLE ms without\n"
    "                                   traffic, then every INTERVAL ms, COUNT probes\n"
    "  VXBRIDGE_LISTEN_ADDRESS=A.B.C.D  serve: listen on that local address only\n"
    "  VXBRIDGE_REGISTRY_ROOT=DIR       launch, not on Windows: the installation store\n"
    "                                   (default /etc/vxbridge/registry)\n"
    "vxctl says so when a value is one the library will ignore.\n";

namespace {

struct CommandShape {
  const char* name;
  std::size_t minArgs;
  std::size_t maxArgs;
  const char* form;  // shown when the arguments do not fit
};

const CommandShape kCommands[] = {
    {"product", 0, 0, "product"},
    {"version", 0, 0, "version"},
    {"lang", 1, 1, "lang eng|spa|cat"},
    {"send", 1, 2, "send NAME [ARGS] with ARGS as one word, e.g. send Add 2,40"},
    {"wait", 0, 0, "wait"},
    {"cancel", 0, 0, "cancel"},
    {"error", 1, 1, "error CODE"},
    {"launch", 1, 1, "launch PRODUCT_ID"},
    {"serve", 1, 1, "serve PORT"},
    {"demo", 0, 0, "demo"},
};

// The library makes up to six connect attempts one second apart, and says
// nothing while it does.
constexpr int kLaunchAttempts = 6;

bool isLanguage(const std::string& code) { return code == "eng" || code == "spa" || code == "cat"; }

// ---- Messages ----------------------------------------------------------------

// The library's message for one of its codes, in the chosen language.
std::string libraryMessage(const std::string& language, VxResult code) {
  char buffer[512];
  int32_t size = static_cast<int32_t>(sizeof buffer - 1);
  if (VxGetErrorMessageA(language.c_str(), code, buffer, &size) != 0) size = 0;
  return std::string(buffer, static_cast<std::size_t>(size));
}

// Reports a failed call on stderr. Negative codes are the library's; a
// positive code is the viewer's own, and its message is asked of the viewer.
int fail(const Options& o, const std::string& what, VxResult code) {
  std::string message;
  if (code > 0) {
    // The viewer's own text with the code, taken first (asking the viewer
    // replaces it): what is left when the viewer can no longer be asked,
    // having answered and left.
    char* text = nullptr;
    uint32_t length = 0;
    std::string said;
    if (VxGetLastResponseA(&length, &text) == 0 && text != nullptr) said.assign(text, length);
    VxFreeA(text);
    text = nullptr;
    const VxResult rc = VxGetErrorStringA(o.language.c_str(), code, &text);
    if (rc == 0 && text != nullptr) said = text;
    VxFreeA(text);
    const bool known = rc == 0 || !said.empty();
    message = known ? os::consoleText(said) + " (viewer code " + std::to_string(code) + ")"
                    : "viewer code " + std::to_string(code) + " (its message could not be had: " +
                          os::consoleText(libraryMessage(o.language, rc)) + ")";
  } else {
    message = os::consoleText(libraryMessage(o.language, code)) + " (code " + std::to_string(code) + ")";
  }
  std::fprintf(stderr, "vxctl: %s: %s\n", what.c_str(), message.c_str());
  return 1;
}

// A command's failure. -6 once the command time-out has passed is that
// time-out: the library gives such a command up with -6 and closes the
// connection, as for a lost one, and only the time tells them apart.
int failCommand(const Options& o, const std::string& what, VxResult code,
                std::chrono::steady_clock::time_point started) {
  const std::uint32_t limit = vxtools::commandTimeoutMs();
  const auto waited = std::chrono::steady_clock::now() - started;
  if (code != VX_E_COMMUNICATION_BROKEN || limit == 0 || waited < std::chrono::milliseconds(limit))
    return fail(o, what, code);
  std::fprintf(stderr,
               "vxctl: %s: no answer within %u ms (VXBRIDGE_COMMAND_TIMEOUT_MS); the library gave the command "
               "up and closed the connection (code %d)\n",
               what.c_str(), static_cast<unsigned>(limit), static_cast<int>(code));
  return 1;
}

// What a -5 from a connect to host:port most likely means.
void hostNotFoundHint(const Options& o) {
  const std::string where = o.host + ":" + std::to_string(o.port);
  if (!os::nameResolves(o.host)) {
    std::fprintf(stderr, "vxctl: the name %s does not resolve to an address (check its spelling, or give the "
                 "address itself)\n", o.host.c_str());
  } else if (o.host == "localhost" || o.host.compare(0, 4, "127.") == 0) {
    std::fprintf(stderr, "vxctl: is a viewer listening on %s? (try: vxsim listen --port %u)\n", where.c_str(),
                 static_cast<unsigned>(o.port));
  } else {
    std::fprintf(stderr, "vxctl: is the viewer running on %s and listening on port %u? (a firewall may also "
                 "drop the connection)\n", o.host.c_str(), static_cast<unsigned>(o.port));
  }
}

void printLastResponse() {
  uint32_t length = 0;
  char* text = nullptr;
  if (VxGetLastResponseA(&length, &text) == 0 && text != nullptr) {
    std::printf("%s\n", os::consoleText(std::string(text, length)).c_str());
  }
  VxFreeA(text);
}

// Closes the connection whatever way the command ends.
struct Connection {
  ~Connection() { VxDisconnect(); }
};

// why: what the connection is needed for, when that is not plain.
int connect(const Options& o, const std::string& why = "") {
  const VxResult rc = VxConnectA(o.host.c_str(), o.port, 0, nullptr, nullptr);
  if (rc == 0) return 0;
  const std::string where = o.host + ":" + std::to_string(o.port);
  fail(o, why + "connect to " + where, rc);
  if (rc == VX_E_HOST_NOT_FOUND) hostNotFoundHint(o);
  return 1;
}

// ---- Commands ----------------------------------------------------------------

int product(const Options& o) {
  int32_t id = 0;
  const auto started = std::chrono::steady_clock::now();
  if (const VxResult rc = VxGetRemoteProductId(&id); rc != 0) return failCommand(o, "product id", rc, started);
  std::printf("%d\n", static_cast<int>(id));
  return 0;
}

int version(const Options& o) {
  char* text = nullptr;
  const auto started = std::chrono::steady_clock::now();
  const VxResult rc = VxGetRemoteProductVersionA(&text);
  if (rc != 0) return failCommand(o, "product version", rc, started);
  std::printf("%s\n", os::consoleText(text != nullptr ? text : "").c_str());
  VxFreeA(text);
  return 0;
}

int viewerCommand(const Options& o) {
  const std::string& c = o.command;
  VxResult rc = 0;
  std::string what;
  const auto started = std::chrono::steady_clock::now();
  if (c == "lang") {
    what = "lang " + o.args[0];
    rc = VxSetLanguageA(o.args[0].c_str());
  } else if (c == "send") {
    const std::string name = os::fromConsole(o.args[0]);
    const std::string arguments = os::fromConsole(o.args.size() > 1 ? o.args[1] : "");
    what = o.args[0];
    rc = VxSendCmdA(name.c_str(), arguments.c_str());
  } else if (c == "wait") {
    what = "wait";
    rc = VxWaitFor();
  } else {
    what = "cancel";
    rc = VxCancelAll();
  }
  if (rc != 0) return failCommand(o, what, rc, started);
  printLastResponse();
  return 0;
}

int errorMessage(const Options& o, int32_t code) {
  char* text = nullptr;
  const VxResult rc = VxGetErrorStringA(o.language.c_str(), code, &text);
  if (rc != 0) {
    // What the library answered, told apart from a message of this code.
    std::fprintf(stderr, "vxctl: error %d: %sVxGetErrorStringA returns %d (%s) and no text\n",
                 static_cast<int>(code), code < 0 ? "no such code: " : "", static_cast<int>(rc),
                 os::consoleText(libraryMessage(o.language, rc)).c_str());
    return 1;
  }
  const std::string message = text != nullptr ? text : "";
  VxFreeA(text);
  if (message.empty()) {
    // An empty line would look like a message; say what happened instead.
    std::fprintf(stderr, "vxctl: error %d: the viewer has no message for this code\n", static_cast<int>(code));
    return 1;
  }
  std::printf("%s\n", os::consoleText(message).c_str());
  return 0;
}

// Says on stderr what the launch tries while it runs. No export tells the
// attempts, and the trace is for frames (during the launch it goes nowhere:
// our stderr is withheld), so the lines follow the library's documented
// schedule on our own clock. Nothing is said when the viewer answers at once.
class LaunchProgress {
 public:
  LaunchProgress(const os::OutputsWithheld& out, const std::string& where)
      : thread_([this, &out, where] {
          const auto start = std::chrono::steady_clock::now();
          std::unique_lock<std::mutex> lock(mutex_);
          for (int attempt = 1; attempt <= kLaunchAttempts; ++attempt) {
            const auto due = start + std::chrono::milliseconds(attempt == 1 ? 200 : (attempt - 1) * 1000);
            if (done_.wait_until(lock, due, [this] { return finished_; })) return;
            out.say("vxctl: trying " + where + ", attempt " + std::to_string(attempt) + " of " +
                    std::to_string(kLaunchAttempts) + "\n");
          }
        }) {}
  ~LaunchProgress() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }
  LaunchProgress(const LaunchProgress&) = delete;
  LaunchProgress& operator=(const LaunchProgress&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;  // last: it uses the members above
};

int launch(const Options& o, uint32_t productId) {
  const std::string where = o.host + ":" + std::to_string(o.port);
  std::fflush(stdout);
  std::fflush(stderr);
  VxResult rc = 0;
  {
    // The viewer may outlive us: it must not hold our stdout or stderr.
    const os::OutputsWithheld withheld;
    LaunchProgress progress(withheld, where);
    rc = VxLaunchAndConnect(productId, o.host.c_str(), o.port, nullptr, nullptr);
  }
  if (rc != 0) {
    fail(o, "launch " + std::to_string(productId), rc);
    if (rc == VX_E_HOST_NOT_FOUND && os::nameResolves(o.host))
      std::fprintf(stderr, "vxctl: no viewer answered on %s in %d attempts one second apart\n", where.c_str(),
                   kLaunchAttempts);
    else if (rc == VX_E_HOST_NOT_FOUND)
      hostNotFoundHint(o);
    return 1;
  }
  Connection connection;
  return product(o);
}

int serve(const Options& o, uint32_t port) {
  if (const VxResult rc = VxConnectAsServer(port, 0); rc != 0)
    return fail(o, "listen on port " + std::to_string(port), rc);
  std::printf("listening on port %u\n", static_cast<unsigned>(port));
  std::fflush(stdout);
  VxResult rc = 0;
  while ((rc = VxAccept()) == VX_E_NOT_CONNECTED) os::sleepMs(20);  // nobody waiting yet
  if (rc != 0) return fail(o, "accept", rc);
  Connection connection;
  std::printf("viewer connected\n");
  std::fflush(stdout);
  for (;;) {
    const int32_t waiting = VxAvailableBytes();
    if (waiting < 0) break;  // the viewer has gone
    if (waiting == 0) {
      os::sleepMs(10);
      continue;
    }
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    if (const VxResult read = VxReadRawPetition(&data, &size); read != 0) return fail(o, "petition", read);
    std::string petition(reinterpret_cast<const char*>(data), size);
    if (!petition.empty() && petition.back() == '\n') petition.pop_back();
    std::printf("%s\n", os::consoleText(escapeBytes(petition)).c_str());
    std::fflush(stdout);
    if (const VxResult sent = VxSendAck(); sent != 0) return fail(o, "answer", sent);
  }
  std::printf("viewer disconnected\n");
  return 0;
}

}  // namespace

Parse parseCommandLine(const std::vector<std::string>& words, Options& o, std::string& why) {
  std::size_t i = 0;
  for (; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--help" || w == "-h") return Parse::Help;
    if (w == "--version") return Parse::Version;
    if (w.compare(0, 2, "--") != 0) break;
    if (w == "--trace") {
      o.trace = true;
      continue;
    }
    if (w != "--host" && w != "--port" && w != "--lang") {
      why = "unknown option " + w;
      return Parse::Bad;
    }
    if (i + 1 >= words.size()) {
      why = w + " needs a value";
      return Parse::Bad;
    }
    const std::string& v = words[++i];
    long long n = 0;
    if (w == "--host") {
      if (v.empty()) {
        why = "--host needs a host name or address";
        return Parse::Bad;
      }
      o.host = v;
    } else if (w == "--port") {
      if (!parseInteger(v, 1, 65535, n)) {
        why = "--port needs a number from 1 to 65535, not '" + v + "'";
        return Parse::Bad;
      }
      o.port = static_cast<std::uint32_t>(n);
    } else {
      if (!isLanguage(v)) {
        why = "--lang needs eng, spa or cat, not '" + v + "'";
        return Parse::Bad;
      }
      o.language = v;
    }
  }
  if (i >= words.size()) {
    why = "no command given";
    return Parse::Bad;
  }
  o.command = words[i];
  o.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
  const CommandShape* shape = nullptr;
  for (const CommandShape& s : kCommands)
    if (o.command == s.name) shape = &s;
  if (shape == nullptr) {
    why = "unknown command '" + o.command + "'";
    return Parse::Bad;
  }
  if (o.args.size() < shape->minArgs || o.args.size() > shape->maxArgs) {
    why = "wrong number of arguments for " + o.command + "; expected: " + shape->form;
    return Parse::Bad;
  }
  long long n = 0;
  if (o.command == "lang" && !isLanguage(o.args[0])) why = "lang needs eng, spa or cat";
  if (o.command == "send" && o.args[0].empty()) why = "send needs a command name";
  if (o.command == "error" && !parseInteger(o.args[0], INT32_MIN, INT32_MAX, n))
    why = "error needs a result code (a whole number)";
  if (o.command == "launch" && !parseInteger(o.args[0], 0, UINT32_MAX, n))
    why = "launch needs a product id (a number such as 1001)";
  if (o.command == "serve" && !parseInteger(o.args[0], 1, 65535, n))
    why = "serve needs a port from 1 to 65535";
  return why.empty() ? Parse::Run : Parse::Bad;
}

void printVersion() {
  uint32_t v = 0;
  VxGetLibVersion(&v);
  std::printf("vxctl %s (library %u.%u.%u.%u)\n", VXCTL_VERSION, static_cast<unsigned>(v >> 24),
              static_cast<unsigned>((v >> 16) & 0xFF), static_cast<unsigned>((v >> 8) & 0xFF),
              static_cast<unsigned>(v & 0xFF));
}

int runCommand(const Options& o) {
  const std::string& c = o.command;
  long long n = 0;
  // The library notes a setting it cannot take only in its trace.
  for (const std::string& note : vxtools::ignoredSettings()) std::fprintf(stderr, "vxctl: %s\n", note.c_str());
  // Read by the library at each connect and accept.
  if (o.trace && !os::setEnv("VXBRIDGE_TRACE", "stderr")) {
    std::fprintf(stderr, "vxctl: --trace: the environment cannot be set\n");
  }
  if (c == "demo") return runDemo();
  if (c == "launch") {
    parseInteger(o.args[0], 0, UINT32_MAX, n);
    return launch(o, static_cast<uint32_t>(n));
  }
  if (c == "serve") {
    parseInteger(o.args[0], 1, 65535, n);
    return serve(o, static_cast<uint32_t>(n));
  }
  if (c == "error") {
    parseInteger(o.args[0], INT32_MIN, INT32_MAX, n);
    // The library's own codes need no viewer.
    if (n <= 0) return errorMessage(o, static_cast<int32_t>(n));
  }
  const bool viewerCode = c == "error";  // a code above 0, asked of the viewer
  if (const int rc = connect(o, viewerCode ? "error " + o.args[0] +
                                                 ": codes above 0 are the viewer's own and need a connection; "
                                           : "");
      rc != 0)
    return rc;
  Connection connection;
  if (c == "product") return product(o);
  if (c == "version") return version(o);
  if (c == "error") return errorMessage(o, static_cast<int32_t>(n));
  return viewerCommand(o);
}

}  // namespace vxctl
