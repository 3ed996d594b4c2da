// vxctl as a user meets it: separate processes, exit statuses, what lands on
// stdout and stderr. vxctl and vxsim are found next to this test program.
#include "ctl_os.h"
#include "ctl_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace vxctl {
namespace {

constexpr int kTimeoutMs = 60000;

std::string toolPath(const std::string& name) { return os::executableDir() + name + os::executableSuffix(); }

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome runTool(const std::string& tool, const std::vector<std::string>& args) {
  Outcome r;
  Child c;
  std::string err;
  if (!c.start(toolPath(tool), args, err, true)) {
    ADD_FAILURE() << err;
    return r;
  }
  if (!c.waitExit(kTimeoutMs, r.status)) ADD_FAILURE() << tool << " did not end";
  r.out = c.out();
  r.err = c.err();
  return r;
}

Outcome runVxctl(const std::vector<std::string>& args) { return runTool("vxctl", args); }

std::string showRun(const Outcome& r) { return "status " + std::to_string(r.status) + "\nstdout: " + r.out + "\nstderr: " + r.err; }

// Output lines end in "\n" on POSIX and may end in "\r\n" on Windows.
std::string withoutCarriageReturns(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : withoutCarriageReturns(text)) {
    if (c != '\n') {
      line += c;
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// A vxsim in listen mode on a free port; stopped when the test ends.
class Simulator {
 public:
  explicit Simulator(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"listen", "--port", "0", "--keep", "--trace"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string err, line;
    if (!child_.start(toolPath("vxsim"), args, err, true)) {
      ADD_FAILURE() << err;
      return;
    }
    if (!child_.waitForLine("listening on port ", kTimeoutMs, line) ||
        std::sscanf(line.c_str(), "listening on port %u", &port_) != 1) {
      ADD_FAILURE() << "no port from vxsim: " << child_.out() << child_.err();
    }
  }
  std::string port() const { return std::to_string(port_); }
  // Frames received and sent, as vxsim --trace shows them.
  std::string trace() const { return child_.err(); }

 private:
  Child child_;
  unsigned port_ = 0;
};

// ---- Success -------------------------------------------------------------------

TEST(VxctlCommands, SendPrintsTheViewersAnswerAndTraceShowsTheFrames) {
  Simulator sim;
  const Outcome r = runVxctl({"--trace", "--port", sim.port(), "send", "Echo", "hello, viewer"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "hello, viewer\n");
  EXPECT_NE(sim.trace().find("EXE Echo(hello, viewer)\\n"), std::string::npos) << sim.trace();
  // The library's own trace on stderr, time stamps masked.
  std::string masked;
  for (const std::string& line : splitLines(r.err)) {
    const std::size_t stamp = line.find(' ', 9);
    masked += line.compare(0, 9, "vxbridge ") == 0 && stamp != std::string::npos ? line.substr(stamp + 1) + "\n"
                                                                                  : line + "\n";
  }
  EXPECT_EQ(masked, "-- connect to 127.0.0.1:" + sim.port() +
                        "\n>> call 24 bytes: EXE Echo(hello, viewer)\\n\n<< answer 22 bytes: RET 0,13,hello, "
                        "viewer\n-- disconnect by the host\n");
}

TEST(VxctlCommands, SendWithoutArgumentTextSendsEmptyParentheses) {
  Simulator sim;
  const Outcome r = runVxctl({"--host", "127.0.0.1", "--port", sim.port(), "send", "GetCameraPosition"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "0.0,0.0,10.0\n");
  EXPECT_NE(sim.trace().find("EXE GetCameraPosition()\\n"), std::string::npos) << sim.trace();
}

TEST(VxctlCommands, ProductAndVersionAreTheViewers) {
  // --version after a command: the old spelling of --product-version.
  Simulator sim({"--edition", "Cobalt", "--version", "4.0.1.2"});
  Outcome r = runVxctl({"--port", sim.port(), "product"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "1002\n");
  r = runVxctl({"--port", sim.port(), "version"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "4.0.1.2\n");
}

TEST(VxctlCommands, LangWaitAndCancelSendTheirMessages) {
  Simulator sim;
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"lang", "cat"}, {"wait"}, {"cancel"}}) {
    std::vector<std::string> args = {"--port", sim.port()};
    args.insert(args.end(), command.begin(), command.end());
    const Outcome r = runVxctl(args);
    EXPECT_EQ(r.status, 0) << command[0] << "\n" << showRun(r);
    EXPECT_EQ(withoutCarriageReturns(r.out), "OK\n") << command[0];
  }
  const std::string trace = sim.trace();
  EXPECT_NE(trace.find("EXE VxSetLanguage('cat')\\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("SYS FLUSH\\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("SYS CANCELALL\\n"), std::string::npos) << trace;
}

TEST(VxctlCommands, ErrorPrintsLibraryMessagesWithoutAViewer) {
  const std::string nobody = std::to_string(os::unusedTcpPort());
  Outcome r = runVxctl({"--port", nobody, "error", "-5"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "Host not found\n");
  r = runVxctl({"--port", nobody, "--lang", "cat", "error", "-14"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), os::consoleText("Vexa3D no est\xE0 instal\xB7lat") + "\n");
  r = runVxctl({"--lang", "spa", "error", "0"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), os::consoleText("Operaci\xF3n finalizada con \xE9xito") + "\n");
}

TEST(VxctlCommands, ErrorAsksTheViewerForItsOwnCodes) {
  Simulator sim;
  const Outcome r = runVxctl({"--port", sim.port(), "--lang", "cat", "error", "26"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "Ordre desconeguda\n");
  EXPECT_NE(sim.trace().find("EXE GetErrorString('cat',1a)\\n"), std::string::npos) << sim.trace();
  // A code the viewer has no message for is said so, not printed as an empty line.
  const Outcome unknown = runVxctl({"--port", sim.port(), "error", "31"});
  EXPECT_EQ(unknown.status, 1) << showRun(unknown);
  EXPECT_EQ(unknown.out, "");
  EXPECT_NE(unknown.err.find("the viewer has no message for this code"), std::string::npos) << unknown.err;
}

TEST(VxctlCommands, ServeAnswersEachPetitionUntilTheViewerLeaves) {
  const std::string port = std::to_string(os::unusedTcpPort());
  Child server;
  std::string err, line;
  ASSERT_TRUE(server.start(toolPath("vxctl"), {"serve", port}, err, true)) << err;
  ASSERT_TRUE(server.waitForLine("listening on port", kTimeoutMs, line)) << server.out() << server.err();
  EXPECT_EQ(line, "listening on port " + port);

  Child viewer;
  ASSERT_TRUE(viewer.start(toolPath("vxsim"), {"connect", "--port", port, "--call", "Hello(1,2)", "--call",
                                               "SYS FLUSH"},
                           err))
      << err;
  int status = -1;
  ASSERT_TRUE(viewer.waitExit(kTimeoutMs, status));
  EXPECT_EQ(status, 0) << viewer.out();
  EXPECT_EQ(viewer.outLines(), (std::vector<std::string>{"answer Hello: code=0 text=OK_ACK",
                                                          "answer SYS FLUSH: code=0 text=OK_ACK"}));
  ASSERT_TRUE(server.waitExit(kTimeoutMs, status));
  EXPECT_EQ(status, 0) << server.err();
  EXPECT_EQ(server.outLines(), (std::vector<std::string>{"listening on port " + port, "viewer connected",
                                                          "EXE Hello(1,2)", "SYS FLUSH", "viewer disconnected"}));
}

// ---- Refusals and failures ----------------------------------------------------------

TEST(VxctlFailures, RefusedCommandPrintsTheViewersMessage) {
  Simulator sim;
  Outcome r = runVxctl({"--port", sim.port(), "send", "Teleport", "0,0,5"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Unknown command"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("26"), std::string::npos) << r.err;

  r = runVxctl({"--port", sim.port(), "--lang", "spa", "send", "Add", "two,three"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_NE(r.err.find(os::consoleText("Argumentos no v\xE1lidos")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("27"), std::string::npos) << r.err;
  // The message came from the viewer, asked in the language of --lang.
  EXPECT_NE(sim.trace().find("EXE GetErrorString('spa',1b)\\n"), std::string::npos) << sim.trace();
}

TEST(VxctlFailures, NoViewerIsHostNotFound) {
  const std::string nobody = std::to_string(os::unusedTcpPort());
  Outcome r = runVxctl({"--port", nobody, "product"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Host not found"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("-5"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is a viewer listening on 127.0.0.1:" + nobody + "? (try: vxsim listen --port " + nobody + ")"),
            std::string::npos)
      << r.err;

  r = runVxctl({"--port", nobody, "error", "31"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_NE(r.err.find("codes above 0 are the viewer's own and need a connection"), std::string::npos) << r.err;

  r = runVxctl({"--port", nobody, "--lang", "spa", "send", "Echo", "x"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_NE(r.err.find("Servidor no encontrado"), std::string::npos) << r.err;
}

TEST(VxctlFailures, ErrorOutsideTheTablesIsInvalidParameter) {
  const Outcome r = runVxctl({"error", "-21"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Invalid parameter"), std::string::npos) << r.err;
}

TEST(VxctlFailures, LaunchOfAnUnknownProduct) {
  const Outcome r = runVxctl({"launch", "1003"});
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_NE(r.err.find("Unknown product"), std::string::npos) << r.err;
}

TEST(VxctlFailures, LaunchWithoutAnInstallation) {
  std::string dir, err;
  ASSERT_TRUE(os::makeScratchDir("vxctl-test-", dir, err)) << err;
  if (!os::redirectInstallStore(dir)) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "the installation store is the system registry here";
  }
  const Outcome r = runVxctl({"launch", "1001"});
  os::restoreInstallStore();
  std::filesystem::remove_all(dir);
  EXPECT_EQ(r.status, 1) << showRun(r);
  EXPECT_NE(r.err.find("Vexa3D is not installed"), std::string::npos) << r.err;
}

// ---- Bad arguments ---------------------------------------------------------------

TEST(ToolArguments, ABadArgumentIsOneLineNamingItAndExit2) {
  struct Case {
    std::string tool;
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"vxctl", {}, "no command given"},
      {"vxctl", {"frobnicate"}, "unknown command 'frobnicate'"},
      {"vxctl", {"--port", "0", "product"}, "--port needs a number"},
      {"vxctl", {"--port", "99999", "product"}, "--port needs a number"},
      {"vxctl", {"--port", "12x", "product"}, "not '12x'"},
      {"vxctl", {"--lang", "fra", "product"}, "--lang needs eng, spa or cat"},
      {"vxctl", {"--host"}, "--host needs a value"},
      {"vxctl", {"--host", "", "product"}, "--host needs a host name"},
      {"vxctl", {"--bogus", "product"}, "unknown option --bogus"},
      {"vxctl", {"product", "extra"}, "wrong number of arguments for product"},
      {"vxctl", {"send"}, "wrong number of arguments for send"},
      {"vxctl", {"send", "Echo", "a", "b"}, "wrong number of arguments for send"},
      {"vxctl", {"lang", "deu"}, "lang needs eng"},
      {"vxctl", {"error", "abc"}, "error needs a result code"},
      {"vxctl", {"error", "99999999999"}, "error needs a result code"},
      {"vxctl", {"launch"}, "wrong number of arguments for launch"},
      {"vxctl", {"launch", "-1"}, "launch needs a product id"},
      {"vxctl", {"serve", "0"}, "serve needs a port"},
      {"vxctl", {"demo", "now"}, "wrong number of arguments for demo"},
      {"vxsim", {"listen", "--bogus"}, "listen has no option --bogus"},
      {"vxsim", {"listen", "--port", "0", "extra"}, "unexpected argument 'extra'"},
      {"vxsim", {"listen", "--port"}, "--port needs a value"},
      {"vxsim", {"listen", "--port", "x"}, "invalid value 'x' for --port"},
      {"vxsim", {"unregister", "--port", "1"}, "unregister has no option --port"},
      {"vxsim", {"register", "--edition", "Amber"}, "register needs --edition and --product-version"},
      {"vxsim", {"frobnicate"}, "unknown command 'frobnicate'"},
  };
  for (const Case& c : cases) {
    std::string shown = c.tool;
    for (const std::string& a : c.args) shown += " [" + a + "]";
    const Outcome r = runTool(c.tool, c.args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << showRun(r);
    EXPECT_EQ(r.out, "") << shown;
    const std::vector<std::string> lines = splitLines(r.err);
    ASSERT_EQ(lines.size(), 1u) << shown << "\n" << r.err;
    EXPECT_EQ(lines[0].rfind(c.tool + ": ", 0), 0u) << shown << "\n" << r.err;
    EXPECT_NE(lines[0].find(c.says), std::string::npos) << shown << "\n" << r.err;
    EXPECT_NE(lines[0].find("(see " + c.tool + " --help)"), std::string::npos) << shown << "\n" << r.err;
  }
}

TEST(ToolArguments, HelpAndVersionGoToStdout) {
  const std::string version = VXB_PROJECT_VERSION;
  const std::vector<std::vector<std::string>> cases = {
      {"vxctl", "--help", "usage: vxctl"},
      {"vxctl", "--version", "vxctl " + version + " (library 1.0.0.0)\n"},
      {"vxsim", "--help", "  GetCameraPosition()                0.0,0.0,10.0\n"},
      {"vxsim", "--version", "vxsim " + version + "\n"},
  };
  for (const auto& c : cases) {
    const Outcome r = runTool(c[0], {c[1]});
    EXPECT_EQ(r.status, 0) << c[0] << " " << c[1];
    EXPECT_NE(withoutCarriageReturns(r.out).find(c[2]), std::string::npos) << c[0] << " " << c[1] << "\n" << r.out;
    EXPECT_EQ(r.err, "") << c[0] << " " << c[1];
  }
}

}  // namespace
}  // namespace vxctl
