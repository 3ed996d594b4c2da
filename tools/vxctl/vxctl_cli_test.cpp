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

Outcome runVxctl(const std::vector<std::string>& args) {
  Outcome r;
  Child c;
  std::string err;
  if (!c.start(toolPath("vxctl"), args, err, true)) {
    ADD_FAILURE() << err;
    return r;
  }
  if (!c.waitExit(kTimeoutMs, r.status)) ADD_FAILURE() << "vxctl did not end";
  r.out = c.out();
  r.err = c.err();
  return r;
}

std::string showRun(const Outcome& r) { return "status " + std::to_string(r.status) + "\nstdout: " + r.out + "\nstderr: " + r.err; }

// Output lines end in "\n" on POSIX and may end in "\r\n" on Windows.
std::string withoutCarriageReturns(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
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

TEST(VxctlCommands, SendPrintsTheViewersAnswer) {
  Simulator sim;
  const Outcome r = runVxctl({"--port", sim.port(), "send", "Echo", "hello, viewer"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "hello, viewer\n");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(sim.trace().find("EXE Echo(hello, viewer)\\n"), std::string::npos) << sim.trace();
}

TEST(VxctlCommands, SendWithoutArgumentTextSendsEmptyParentheses) {
  Simulator sim;
  const Outcome r = runVxctl({"--host", "127.0.0.1", "--port", sim.port(), "send", "GetCameraPosition"});
  EXPECT_EQ(r.status, 0) << showRun(r);
  EXPECT_EQ(withoutCarriageReturns(r.out), "0.0,0.0,10.0\n");
  EXPECT_NE(sim.trace().find("EXE GetCameraPosition()\\n"), std::string::npos) << sim.trace();
}

TEST(VxctlCommands, ProductAndVersionAreTheViewers) {
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

TEST(VxctlArguments, BadArgumentsPrintUsageAndExit2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--port", "0", "product"},
      {"--port", "99999", "product"},
      {"--port", "12x", "product"},
      {"--lang", "fra", "product"},
      {"--host"},
      {"--host", "", "product"},
      {"--bogus", "product"},
      {"product", "extra"},
      {"send"},
      {"send", "Echo", "a", "b"},
      {"lang", "deu"},
      {"error", "abc"},
      {"error", "99999999999"},
      {"launch"},
      {"launch", "-1"},
      {"serve", "0"},
      {"demo", "now"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += "[" + a + "] ";
    const Outcome r = runVxctl(args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << showRun(r);
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_NE(r.err.find("usage: vxctl"), std::string::npos) << shown << "\n" << r.err;
  }
}

TEST(VxctlArguments, HelpGoesToStdout) {
  const Outcome r = runVxctl({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: vxctl"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace vxctl
