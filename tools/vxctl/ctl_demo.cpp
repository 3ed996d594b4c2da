// The demo: what a host does with the library on a fresh machine, against
// vxsim, one verified step at a time. Four sections:
//   1. a client session with a CallHandler: product, version, language,
//      commands, a refused command and its message in three languages, a
//      call of the viewer answered by the handler, disconnect;
//   2. a client session without CallHandler: the viewer's call is collected
//      with VxRecvCmd; VxWaitFor; disconnect;
//   3. server mode: the simulator connects to us, its petition is read raw
//      and answered;
//   4. launch: an installation entry for a private copy of vxsim, which
//      VxLaunchAndConnect starts and connects to on port 27800.
// Every process, entry and directory the demo creates is removed again.
#include "ctl_demo.h"

#include "ctl_os.h"
#include "ctl_process.h"
#include "ctl_text.h"
#include "vxbridge.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxctl {
namespace {

namespace fs = std::filesystem;

constexpr int kStartTimeoutMs = 30000;  // a first start under an emulator is slow
constexpr int kEventTimeoutMs = 10000;
constexpr std::uint16_t kLaunchPort = 27800;  // where vxsim listens when started without arguments
constexpr const char* kVendorKey = "SOFTWARE\\Halden";
constexpr const char* kInstallKey = "SOFTWARE\\Halden\\Vexa";

// ---- What the host's handlers saw ---------------------------------------------------

struct HandlerLog {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  std::string name, args;
  std::thread::id thread;
  int broken = 0;
};

HandlerLog g_log;

void resetLog() {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  g_log.calls = g_log.broken = 0;
  g_log.name.clear();
  g_log.args.clear();
}

// Answers the viewer's call with code 0 and "seen <arguments>".
void VXAPI OnCall(const char* name, const char* args, CallAnswer* answer) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  ++g_log.calls;
  g_log.name = name;
  g_log.args = args;
  g_log.thread = std::this_thread::get_id();
  answer->code = 0;
  std::snprintf(answer->text, sizeof answer->text, "seen %s", args);
  g_log.changed.notify_all();
}

void VXAPI OnBroken() {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  ++g_log.broken;
  g_log.changed.notify_all();
}

template <typename Predicate>
bool waitForLog(int timeoutMs, Predicate done) {
  std::unique_lock<std::mutex> lock(g_log.mutex);
  return g_log.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

int brokenCount() {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  return g_log.broken;
}

// Polls until done() or the time is up.
template <typename Predicate>
bool poll(int timeoutMs, Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    os::sleepMs(10);
  }
}

// ---- Transcript --------------------------------------------------------------------

class Transcript {
 public:
  void heading(const std::string& title) {
    std::printf("\n== %s\n", title.c_str());
    std::fflush(stdout);
  }

  // Prints and counts one step; returns ok.
  bool step(const std::string& action, const std::string& expected, const std::string& got, bool ok) {
    ++steps_;
    if (!ok) ++failed_;
    std::printf("[%2d] %s\n     expected: %s\n     got:      %s\n     -> %s\n", steps_, action.c_str(),
                expected.c_str(), got.c_str(), ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok;
  }

  void note(const std::string& text) {
    std::printf("     %s\n", text.c_str());
    std::fflush(stdout);
  }

  // A failed step leaves the rest of its section without a base.
  void abandon() {
    ++abandoned_;
    note("(the rest of this section is skipped)");
  }

  int finish() {
    if (failed_ == 0 && abandoned_ == 0) {
      std::printf("\ndemo: all %d steps passed\n", steps_);
      std::fflush(stdout);
      return 0;
    }
    std::printf("\ndemo: %d of %d steps failed%s\n", failed_, steps_,
                abandoned_ > 0 ? "; sections depending on them were cut short" : "");
    std::fflush(stdout);
    return 1;
  }

 private:
  int steps_ = 0;
  int failed_ = 0;
  int abandoned_ = 0;
};

// ---- Small helpers -------------------------------------------------------------------

std::string libraryMessage(VxResult code) {
  char buffer[256];
  int32_t size = static_cast<int32_t>(sizeof buffer - 1);
  if (VxGetErrorMessageA("eng", code, buffer, &size) != 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(size));
}

// A result code for the transcript: the library's codes with their message.
std::string describe(VxResult code) {
  if (code >= 0) return std::to_string(code);
  return std::to_string(code) + " (" + libraryMessage(code) + ")";
}

std::string inQuotes(const std::string& cp1252) { return "\"" + os::consoleText(cp1252) + "\""; }

std::string lastResponse() {
  uint32_t length = 0;
  char* text = nullptr;
  if (VxGetLastResponseA(&length, &text) != 0 || text == nullptr) return std::string();
  std::string copy(text, length);
  VxFreeA(text);
  return copy;
}

VxResult errorString(const char* language, int32_t code, std::string& text) {
  char* block = nullptr;
  const VxResult rc = VxGetErrorStringA(language, code, &block);
  text = block != nullptr ? block : "";
  VxFreeA(block);
  return rc;
}

// Whatever happens in a section, it ends disconnected.
struct DisconnectAtEnd {
  ~DisconnectAtEnd() { VxDisconnect(); }
};

std::string simulatorPath() { return os::executableDir() + "vxsim" + os::executableSuffix(); }

std::string commandText(const std::vector<std::string>& args) {
  std::string text = "vxsim";
  for (const std::string& a : args)
    text += " " + (a.find_first_of(" (") == std::string::npos ? a : "\"" + a + "\"");
  return text;
}

// Starts vxsim listening on a free port; 0 when that failed (already reported).
unsigned startListeningSimulator(Transcript& t, Child& viewer, const std::string& sim,
                                 const std::vector<std::string>& args) {
  std::string err, line;
  unsigned port = 0;
  const bool started = viewer.start(sim, args, err) &&
                       viewer.waitForLine("listening on port ", kStartTimeoutMs, line) &&
                       std::sscanf(line.c_str(), "listening on port %u", &port) == 1 && port > 0;
  const std::string got = started ? "\"" + line + "\"" : !err.empty() ? err : "no such line; output: " + escapeBytes(viewer.out());
  if (!t.step("start the simulator: " + commandText(args), "it prints \"listening on port N\"", got, started)) {
    t.abandon();
    return 0;
  }
  return port;
}

bool simulatorEnds(Transcript& t, Child& viewer, const std::string& why) {
  int status = -1;
  const bool ended = viewer.waitExit(kEventTimeoutMs, status);
  return t.step("the simulator ends by itself (" + why + ")", "exit status 0",
                ended ? "exit status " + std::to_string(status) : "still running after 10 s",
                ended && status == 0);
}

bool disconnectStep(Transcript& t) {
  const VxResult rc = VxDisconnect();
  const int broken = brokenCount();
  const int flag1 = VxIsConnectionBroken();
  const int flag2 = VxIsConnectionBroken();
  return t.step("disconnect: VxDisconnect(), then VxIsConnectionBroken() twice",
                "0; OnBroken ran once; VxIsConnectionBroken 1, then 0",
                describe(rc) + "; OnBroken ran " + std::to_string(broken) + " time(s); VxIsConnectionBroken " +
                    std::to_string(flag1) + ", then " + std::to_string(flag2),
                rc == 0 && broken == 1 && flag1 == 1 && flag2 == 0);
}

bool productIdStep(Transcript& t, int32_t wanted) {
  int32_t id = -1;
  const VxResult rc = VxGetRemoteProductId(&id);
  return t.step("product id: VxGetRemoteProductId(&id)", "0, id " + std::to_string(wanted),
                describe(rc) + ", id " + std::to_string(id), rc == 0 && id == wanted);
}

bool versionStep(Transcript& t, const std::string& wanted) {
  char* text = nullptr;
  const VxResult rc = VxGetRemoteProductVersionA(&text);
  const std::string version = text != nullptr ? text : "(none)";
  VxFreeA(text);
  return t.step("product version: VxGetRemoteProductVersionA(&text), then VxFreeA(text)",
                "0, \"" + wanted + "\"", describe(rc) + ", " + inQuotes(version),
                rc == 0 && version == wanted);
}

bool commandStep(Transcript& t, const std::string& name, const std::string& args, const std::string& wanted) {
  const VxResult rc = VxSendCmdA(name.c_str(), args.c_str());
  const std::string answer = lastResponse();
  return t.step("command: VxSendCmdA(\"" + name + "\", \"" + args + "\"), then VxGetLastResponseA",
                "0, answer \"" + wanted + "\"", describe(rc) + ", answer " + inQuotes(answer),
                rc == 0 && answer == wanted);
}

// ---- 1. Client session with a CallHandler ----------------------------------------

void sessionWithHandler(Transcript& t, const std::string& sim) {
  t.heading("Client session: commands, and a call of the viewer answered by the CallHandler");
  Child viewer;
  const unsigned port =
      startListeningSimulator(t, viewer, sim, {"listen", "--port", "0", "--call", "Notify(scene-loaded)"});
  if (port == 0) return;
  t.note("(the simulator calls Notify(scene-loaded) as soon as the host is connected)");

  resetLog();
  DisconnectAtEnd disconnect;
  const VxResult rc = VxConnectA("127.0.0.1", port, 0, OnCall, OnBroken);
  if (!t.step("connect: VxConnectA(\"127.0.0.1\", " + std::to_string(port) + ", 0, OnCall, OnBroken)", "0",
              describe(rc), rc == 0)) {
    return t.abandon();
  }
  productIdStep(t, 1001);
  versionStep(t, "3.1.0.0");

  const VxResult lang = VxSetLanguageA("spa");
  t.step("language: VxSetLanguageA(\"spa\")", "0", describe(lang), lang == 0);

  commandStep(t, "Echo", "hello, viewer", "hello, viewer");
  commandStep(t, "Add", "2,40", "42");

  // A command the viewer does not know: its code, and its own text for it
  // in the language chosen above.
  const VxResult refused = VxSendCmdA("Teleport", "0,0,5");
  char buffer[128];
  int32_t size = static_cast<int32_t>(sizeof buffer - 1);
  const VxResult copied = VxLastVexaErrorMessageA(buffer, &size);
  const std::string viewerText = copied == 0 ? std::string(buffer, static_cast<std::size_t>(size)) : "";
  t.step("refused command: VxSendCmdA(\"Teleport\", \"0,0,5\"), then VxLastVexaErrorMessageA",
         "26 (the viewer's unknown-command code), its text in Spanish \"Comando desconocido\"",
         describe(refused) + ", " + inQuotes(viewerText), refused == 26 && viewerText == "Comando desconocido");

  struct Expected {
    const char* language;
    const char* text;
  };
  for (const Expected& e : {Expected{"eng", "Unknown command"}, Expected{"spa", "Comando desconocido"},
                            Expected{"cat", "Ordre desconeguda"}}) {
    std::string text;
    const VxResult got = errorString(e.language, 26, text);
    t.step(std::string("message of viewer code 26: VxGetErrorStringA(\"") + e.language + "\", 26, &text)",
           std::string("0, \"") + e.text + "\" (asked of the viewer)", describe(got) + ", " + inQuotes(text),
           got == 0 && text == e.text);
  }
  {
    std::string text;
    const VxResult got = errorString("cat", VX_E_NOT_INSTALLED, text);
    const std::string wanted = "Vexa3D no est\xE0 instal\xB7lat";
    t.step("message of library code -14: VxGetErrorStringA(\"cat\", -14, &text)",
           "0, " + inQuotes(wanted) + " (the library's own table, Windows-1252)", describe(got) + ", " + inQuotes(text),
           got == 0 && text == wanted);
  }

  // The viewer's call: the handler ran on the library's dispatcher thread,
  // and its answer reached the simulator.
  const bool called = waitForLog(kEventTimeoutMs, [] { return g_log.calls > 0; });
  std::string answerLine;
  const bool answered = viewer.waitForLine("answer Notify:", kEventTimeoutMs, answerLine);
  {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    const bool otherThread = g_log.thread != std::this_thread::get_id();
    const std::string got =
        called ? "OnCall(\"" + g_log.name + "\", \"" + g_log.args + "\") " + std::to_string(g_log.calls) +
                     " time(s), " + (otherThread ? "on another thread" : "on the host's own thread")
               : "OnCall never ran";
    t.step("the viewer's call Notify(scene-loaded) reaches OnCall, which answers \"seen scene-loaded\"",
           "OnCall(\"Notify\", \"scene-loaded\") 1 time(s), on another thread; the simulator prints "
           "\"answer Notify: code=0 text=seen scene-loaded\"",
           got + "; the simulator prints " + (answered ? "\"" + answerLine + "\"" : "nothing"),
           called && g_log.calls == 1 && g_log.name == "Notify" && g_log.args == "scene-loaded" && otherThread &&
               answerLine == "answer Notify: code=0 text=seen scene-loaded");
  }

  const VxResult cancel = VxCancelAll();
  t.step("cancel the viewer's work: VxCancelAll()", "0", describe(cancel), cancel == 0);

  if (!disconnectStep(t)) return t.abandon();
  simulatorEnds(t, viewer, "it serves one host");
}

// ---- 2. Client session without CallHandler -------------------------------------

void sessionWithoutHandler(Transcript& t, const std::string& sim) {
  t.heading("Client session without CallHandler: the viewer's call is collected with VxRecvCmd");
  Child viewer;
  const unsigned port =
      startListeningSimulator(t, viewer, sim, {"listen", "--port", "0", "--call", "Selected(cube-7)"});
  if (port == 0) return;

  resetLog();
  DisconnectAtEnd disconnect;
  const VxResult rc = VxConnectA("127.0.0.1", port, 0, nullptr, OnBroken);
  if (!t.step("connect: VxConnectA(\"127.0.0.1\", " + std::to_string(port) + ", 0, no CallHandler, OnBroken)",
              "0", describe(rc), rc == 0)) {
    return t.abandon();
  }

  // Without a handler the library answers "OK" at once and keeps the call.
  CallRecord record{};
  const bool taken = poll(kEventTimeoutMs, [&record] { return VxRecvCmd(&record) != 0; });
  const std::string name = taken ? fieldText(record.name, sizeof record.name, true) : "";
  const std::string args = taken ? fieldText(record.args, sizeof record.args, true) : "";
  std::string answerLine;
  const bool answered = viewer.waitForLine("answer Selected:", kEventTimeoutMs, answerLine);
  t.step("poll VxRecvCmd(&record) for the viewer's call Selected(cube-7)",
         "true with name \"Selected\", args \"cube-7\" (fields padded with blanks); the library answered "
         "it: \"answer Selected: code=0 text=OK\"",
         (taken ? "true with name \"" + name + "\", args \"" + args + "\"" : std::string("false for 10 s")) +
             "; the simulator prints " + (answered ? "\"" + answerLine + "\"" : "nothing"),
         taken && name == "Selected" && args == "cube-7" && answerLine == "answer Selected: code=0 text=OK");

  CallRecord again{};
  const bool more = VxRecvCmd(&again) != 0;
  t.step("VxRecvCmd(&record) once more", "false (nothing else pending)", more ? "true" : "false", !more);

  const VxResult flushed = VxWaitFor();
  t.step("wait for the viewer: VxWaitFor()", "0", describe(flushed), flushed == 0);

  if (!disconnectStep(t)) return t.abandon();
  simulatorEnds(t, viewer, "it serves one host");
}

// ---- 3. Server mode ---------------------------------------------------------------

void serverMode(Transcript& t, const std::string& sim) {
  t.heading("Server mode: the viewer connects to the host and sends a petition");
  DisconnectAtEnd disconnect;
  std::uint16_t port = 0;
  VxResult rc = VX_E_HOST_NOT_FOUND;
  for (int attempt = 0; attempt < 5 && rc != 0; ++attempt) {
    port = os::unusedTcpPort();
    if (port != 0) rc = VxConnectAsServer(port, 0);
  }
  if (!t.step("listen: VxConnectAsServer(" + std::to_string(port) + ", 0) on a free port", "0", describe(rc),
              rc == 0)) {
    return t.abandon();
  }

  Child viewer;
  const std::vector<std::string> args = {"connect", "--port", std::to_string(port), "--call", "Hello(1,2)"};
  std::string err;
  const bool started = viewer.start(sim, args, err);
  if (!t.step("start the simulator as the connecting side: " + commandText(args), "started",
              started ? "started, process " + std::to_string(viewer.pid()) : err, started)) {
    return t.abandon();
  }

  VxResult accepted = VX_E_NOT_CONNECTED;
  poll(kStartTimeoutMs, [&accepted] { return (accepted = VxAccept()) != VX_E_NOT_CONNECTED; });
  if (!t.step("poll VxAccept() until the viewer is there", "0 (-3 while nobody waits)", describe(accepted),
              accepted == 0)) {
    return t.abandon();
  }

  int32_t available = 0;
  poll(kEventTimeoutMs, [&available] { return (available = VxAvailableBytes()) != 0; });
  const std::string petitionText = "EXE Hello(1,2)\n";
  t.step("poll VxAvailableBytes() for the petition", std::to_string(petitionText.size()) + " bytes",
         std::to_string(available) + " bytes", available == static_cast<int32_t>(petitionText.size()));

  const uint8_t* data = nullptr;
  uint32_t size = 0;
  const VxResult read = VxReadRawPetition(&data, &size);
  const std::string petition = read == 0 ? std::string(reinterpret_cast<const char*>(data), size) : "";
  t.step("take it: VxReadRawPetition(&data, &size) (the block stays the library's)",
         "0, \"" + escapeBytes(petitionText) + "\", " + std::to_string(petitionText.size()) + " bytes",
         describe(read) + ", \"" + escapeBytes(petition) + "\", " + std::to_string(size) + " bytes",
         read == 0 && petition == petitionText);

  const VxResult none = VxReadRawPetition(&data, &size);
  t.step("VxReadRawPetition once more", describe(VX_E_NO_DATA), describe(none), none == VX_E_NO_DATA);

  const VxResult ack = VxSendAck();
  std::string answerLine;
  const bool answered = viewer.waitForLine("answer Hello:", kEventTimeoutMs, answerLine);
  t.step("answer it: VxSendAck()", "0; the simulator prints \"answer Hello: code=0 text=OK_ACK\"",
         describe(ack) + "; the simulator prints " + (answered ? "\"" + answerLine + "\"" : "nothing"),
         ack == 0 && answerLine == "answer Hello: code=0 text=OK_ACK");

  if (!simulatorEnds(t, viewer, "all its calls are answered")) return t.abandon();
  int32_t after = 0;
  poll(kEventTimeoutMs, [&after] { return (after = VxAvailableBytes()) < 0; });
  const VxResult closed = VxDisconnect();
  t.step("the host sees the viewer gone: VxAvailableBytes(), then VxDisconnect()", "-1 (not connected), then 0",
         std::to_string(after) + ", then " + describe(closed), after == -1 && closed == 0);
}

// ---- 4. Launch through an installation entry ------------------------------------

// Everything the launch section sets up, taken down again in any case.
struct LaunchScene {
  std::string dir;         // scratch directory
  std::string copy;        // the private vxsim that gets registered
  std::string sim;         // the vxsim next to vxctl
  bool privateStore = false;
  bool vendorKeyExisted = false;
  bool keyExisted = false;
  int slot = -1;           // the slot of our entry, once written
  bool entryRemoved = false;

  // Removes the entry from the system registry (a private store goes with
  // the directory). Only our slot when the key held entries before us.
  // Returns vxsim's exit status, or -1 when it could not be run.
  int removeEntry(std::string& what) {
    if (privateStore || slot < 0) return 0;
    std::vector<std::string> args = {"unregister"};
    if (keyExisted) args.insert(args.end(), {"--slot", std::to_string(slot)});
    what = commandText(args);
    Child tool;
    std::string err;
    int status = -1;
    if (!tool.start(sim, args, err) || !tool.waitExit(kStartTimeoutMs, status)) status = -1;
    entryRemoved = status == 0;
    // The key above it, when the entry brought it along.
    if (entryRemoved && !vendorKeyExisted) os::removeEmptyRegistryKey(kVendorKey);
    return status;
  }

  ~LaunchScene() {
    VxDisconnect();
    if (!copy.empty())
      for (std::uint32_t pid : os::findProcessesByImage(copy)) os::endProcess(pid, 5000);
    std::string what;
    if (!entryRemoved) removeEntry(what);
    os::restoreInstallStore();
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void launch(Transcript& t, const std::string& sim) {
  t.heading("Launch: VxLaunchAndConnect starts the registered viewer and connects to it");
  const VxResult unknown = VxLaunchAndConnect(1003, "127.0.0.1", kLaunchPort, nullptr, nullptr);
  t.step("VxLaunchAndConnect(1003, ...) for a product that does not exist", describe(VX_E_UNKNOWN_PRODUCT),
         describe(unknown), unknown == VX_E_UNKNOWN_PRODUCT);

  // The viewer started without arguments listens on 27800; nobody else may.
  const bool taken = os::tcpPortAnswers(kLaunchPort);
  if (!t.step("port " + std::to_string(kLaunchPort) + " is free for the viewer to be launched",
              "nothing listens on 127.0.0.1:" + std::to_string(kLaunchPort),
              taken ? "something already listens there (another viewer or simulator still running?); "
                      "the launched viewer could not listen"
                    : "nothing listens there",
              !taken)) {
    return t.abandon();
  }

  LaunchScene scene;
  scene.sim = sim;
  std::string err;
  bool ready = os::makeScratchDir("vxctl-demo-", scene.dir, err);
  if (ready) {
    // A copy of its own: no other vxsim on this machine can be taken for the
    // launched viewer, and ending it by its executable ends nothing else.
    scene.copy = (fs::path(scene.dir) / ("vxsim-demo-" + std::to_string(os::currentProcessId()) +
                                         os::executableSuffix()))
                     .string();
    std::error_code ec;
    fs::copy_file(sim, scene.copy, fs::copy_options::overwrite_existing, ec);
    if (ec) err = "cannot copy " + sim + ": " + ec.message();
    ready = !ec && os::makeExecutable(scene.copy, err);
  }
  if (!t.step("a private copy of the simulator to register", "copied", ready ? scene.copy : err, ready)) {
    return t.abandon();
  }

  scene.privateStore = os::redirectInstallStore((fs::path(scene.dir) / "registry").string());
  scene.vendorKeyExisted = os::registryKeyExists(kVendorKey);
  scene.keyExisted = os::registryKeyExists(kInstallKey);
  if (scene.privateStore) {
    t.note("installation store: VXBRIDGE_REGISTRY_ROOT=" + (fs::path(scene.dir) / "registry").string() +
           " (private to this demo and its children)");
  } else {
    t.note(std::string("installation store: the system registry, HKEY_LOCAL_MACHINE\\SOFTWARE\\Halden\\Vexa (") +
           (scene.keyExisted ? "it holds entries already: only ours will be removed" : "new: removed again at the end") +
           ")");
  }

  {
    const std::vector<std::string> args = {"register", "--edition", "Amber", "--product-version", "3.1.0.0", "--path",
                                           scene.copy};
    Child tool;
    int status = -1;
    std::string line;
    const bool ran = tool.start(sim, args, err) && tool.waitExit(kStartTimeoutMs, status);
    const bool said = ran && tool.waitForLine("registered Amber 3.1.0.0 in slot ", 0, line) &&
                      std::sscanf(line.c_str(), "registered Amber 3.1.0.0 in slot %d", &scene.slot) == 1;
    if (!t.step("write the installation entry: vxsim register --edition Amber --product-version 3.1.0.0 --path <copy>",
                "exit status 0, \"registered Amber 3.1.0.0 in slot N of ...\"",
                ran ? "exit status " + std::to_string(status) + ", \"" + (said ? line : escapeBytes(tool.out())) + "\""
                    : err,
                ran && status == 0 && said)) {
      return t.abandon();
    }
  }

  resetLog();
  const std::string outputFile = (fs::path(scene.dir) / "viewer-output.txt").string();
  VxResult rc = 0;
  bool outputCaptured = false;
  const auto begin = std::chrono::steady_clock::now();
  std::fflush(stdout);
  std::fflush(stderr);
  {
    // The viewer would inherit our standard handles; its output goes to a file.
    os::OutputsWithheld redirect(outputFile);
    outputCaptured = redirect.ok();
    rc = VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", kLaunchPort, OnCall, OnBroken);
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
  if (!t.step("launch: VxLaunchAndConnect(1001, \"127.0.0.1\", " + std::to_string(kLaunchPort) +
                  ", OnCall, OnBroken)",
              "0 (started, then connected within six attempts 1 s apart)",
              describe(rc) + " after " + std::to_string(ms) + " ms", rc == 0)) {
    return t.abandon();
  }

  const std::vector<std::uint32_t> pids = os::findProcessesByImage(scene.copy);
  const std::string output = readFile(outputFile);
  const std::string wantedLine = "listening on port " + std::to_string(kLaunchPort);
  const bool saidPort = !outputCaptured || output == wantedLine + "\n" || output == wantedLine + "\r\n";
  std::string got = std::to_string(pids.size()) + " process(es)";
  if (pids.size() == 1) got += " (process " + std::to_string(pids[0]) + ")";
  got += outputCaptured ? ", its output \"" + escapeBytes(output) + "\"" : ", its output not captured";
  t.step("the launched viewer is the registered copy, started without arguments (so on port 27800)",
         "1 process running the copy; its output a line \"" + wantedLine + "\"", got,
         pids.size() == 1 && saidPort);

  productIdStep(t, 1001);
  versionStep(t, "3.1.0.0");
  if (!disconnectStep(t)) return t.abandon();

  bool ended = !pids.empty();
  for (std::uint32_t pid : pids) ended = os::endProcess(pid, kEventTimeoutMs) && ended;
  const bool gone = poll(kEventTimeoutMs, [&scene] { return os::findProcessesByImage(scene.copy).empty(); });
  t.step("end the launched viewer (it keeps serving hosts until stopped)", "ended; no process runs the copy",
         std::string(ended ? "ended" : "could not be ended") + "; " + (gone ? "none runs the copy" : "still running"),
         ended && gone);

  if (scene.privateStore) {
    os::restoreInstallStore();
    std::error_code ec;
    fs::remove_all(scene.dir, ec);
    const bool removed = !ec && !fs::exists(scene.dir);
    if (removed) scene.dir.clear();
    t.step("remove the private installation store and the copy", "removed",
           removed ? "removed" : "not removed: " + ec.message(), removed);
  } else {
    std::string what;
    const int status = scene.removeEntry(what);
    // Our entry must be gone, and with it the key when it was ours alone.
    const std::string entryKey = scene.keyExisted ? std::string(kInstallKey) + "\\" + std::to_string(scene.slot)
                                                  : std::string(kInstallKey);
    const bool entryGone = !os::registryKeyExists(entryKey);
    t.step("remove the installation entry: " + what, "exit status 0; HKEY_LOCAL_MACHINE\\" + entryKey + " is gone",
           (status >= 0 ? "exit status " + std::to_string(status) : std::string("vxsim could not be run")) + "; " +
               (entryGone ? "gone" : "still there"),
           status == 0 && entryGone);
  }
}

}  // namespace

int runDemo() {
  Transcript t;
  std::printf("VxBridge demo: a host session against the viewer simulator, step by step\n");
  uint32_t version = 0;
  const VxResult rc = VxGetLibVersion(&version);
  char shown[32];
  std::snprintf(shown, sizeof shown, "%u.%u.%u.%u", version >> 24, (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                version & 0xFF);
  t.heading("The library");
  t.step("VxGetLibVersion(&version)", "0, 1.0.0.0 (0x01000000)", describe(rc) + ", " + shown,
         rc == 0 && version == VX_LIB_VERSION);

  const std::string sim = simulatorPath();
  std::error_code ec;
  if (!t.step("find the simulator next to vxctl", "vxsim" + os::executableSuffix() + " exists", sim,
              fs::is_regular_file(sim, ec))) {
    t.abandon();
    return t.finish();
  }

  sessionWithHandler(t, sim);
  sessionWithoutHandler(t, sim);
  serverMode(t, sim);
  launch(t, sim);
  return t.finish();
}

}  // namespace vxctl
