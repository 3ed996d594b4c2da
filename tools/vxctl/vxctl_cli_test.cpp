// vxctl as a user meets it: separate processes, exit statuses, what lands on
// stdout and stderr. vxctl and vxsim are found next to this test program.
#include "ctl_os.h"
#include "ctl_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace vxctl {
namespace {

constexpr int kTimeoutMs = 60000;
using Args = std::vector<std::string>;

std::string toolPath(const std::string& name) { return os::executableDir() + name + os::executableSuffix(); }

struct Outcome {
  std::string command, out, err;
  int status = -1;
  std::string shown() const {
    return command + ": status " + std::to_string(status) + "\nstdout: " + out + "\nstderr: " + err;
  }
};

// Runs a tool to its end; Windows' "\r" of each line end is dropped.
Outcome runTool(const std::string& tool, const Args& args) {
  Outcome r;
  r.command = tool + " " + testing::PrintToString(args);
  Child c;
  if (!c.start(toolPath(tool), args, r.err, true)) return ADD_FAILURE() << r.shown(), r;
  if (!c.waitExit(kTimeoutMs, r.status)) ADD_FAILURE() << r.command << " did not end";
  r.out = c.out();
  r.err = c.err();
  for (std::string* text : {&r.out, &r.err}) text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
  return r;
}

// Starts a tool that says "listening on port N"; returns N.
std::string startListening(Child& c, const std::string& tool, const Args& args) {
  const std::string says = "listening on port ";
  std::string err, line;
  EXPECT_TRUE(c.start(toolPath(tool), args, err, true) && c.waitForLine(says, kTimeoutMs, line))
      << err << c.out() << c.err();
  return line.substr(std::min(line.size(), says.size()));
}

// Each command against a viewer (a vxsim whose answers depend on the frames
// it got, so exact stdout also checks what vxctl sent) or against a port
// nobody listens on. (README.md's vxctl transcript, run by the documents'
// tests, checks the messages of a time-out, a name that does not resolve
// and an ignored setting.)
TEST(VxctlCommands, StatusOutputAndFramesPerCommand) {
  Child sim;  // --version after the command: the old spelling of --product-version
  const std::string port =
      startListening(sim, "vxsim", {"listen", "--port", "0", "--keep", "--edition", "Cobalt", "--version", "4.0.1.2"});
  const std::string nobody = std::to_string(os::unusedTcpPort());
  const struct {
    bool viewer;
    Args args;
    int status;
    std::string out;  // exact stdout
    Args errHas;  // pieces of stderr
  } cases[] = {
      {true, {"--trace", "send", "Echo", "hello, viewer"}, 0, "hello, viewer\n",
       {" -- connect to 127.0.0.1:" + port + "\n", " >> call 24 bytes: EXE Echo(hello, viewer)\\n\n",
        " << answer 22 bytes: RET 0,13,hello, viewer\n", " -- disconnect by the host\n"}},
      {true, {"--host", "127.0.0.1", "send", "GetCameraPosition"}, 0, "0.0,0.0,10.0\n", {}},
      {true, {"product"}, 0, "1002\n", {}}, {true, {"version"}, 0, "4.0.1.2\n", {}},
      {true, {"lang", "cat"}, 0, "OK\n", {}}, {true, {"wait"}, 0, "OK\n", {}}, {true, {"cancel"}, 0, "OK\n", {}},
      {true, {"--lang", "cat", "error", "26"}, 0, "Ordre desconeguda\n", {}},
      {true, {"error", "32"}, 1, "", {"the viewer has no message for this code"}},
      {true, {"send", "Teleport", "0,0,5"}, 1, "", {"Unknown command", "26"}},
      {true, {"--lang", "spa", "send", "Add", "two,three"}, 1, "", {os::consoleText("Argumentos no v\xE1lidos"), "27"}},
      {false, {"--lang", "cat", "error", "-14"}, 0, os::consoleText("Vexa3D no est\xE0 instal\xB7lat") + "\n", {}},
      {false, {"error", "-21"}, 1, "",
       {"vxctl: error -21: no such code: VxGetErrorStringA returns -1 (Invalid parameter) and no text\n"}},
      {false, {"product"}, 1, "",
       {"Host not found", "-5",
        "is a viewer listening on 127.0.0.1:" + nobody + "? (try: vxsim listen --port " + nobody + ")"}},
      {false, {"error", "31"}, 1, "", {"codes above 0 are the viewer's own and need a connection"}},
      {false, {"launch", "1003"}, 1, "", {"Unknown product"}},
  };
  for (const auto& c : cases) {
    Args args = {"--port", c.viewer ? port : nobody};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = runTool("vxctl", args);
    EXPECT_EQ(r.status, c.status) << r.shown();
    EXPECT_EQ(r.out, c.out) << r.command;
    for (const std::string& piece : c.errHas) EXPECT_NE(r.err.find(piece), std::string::npos) << piece << r.shown();
  }
}

// A command cut short by vxsim's own end fails (viewer code 31); it is
// never answered OK. POSIX: stopped with SIGTERM, as a terminal or a
// service manager stops it (TerminateProcess on Windows cannot be caught).
TEST(VxctlCommands, ACommandCutShortByTheViewersEndFails) {
#ifdef _WIN32
  GTEST_SKIP() << "no SIGTERM";
#endif
  Child sim;
  const std::string port = startListening(sim, "vxsim", {"listen", "--port", "0", "--trace"});
  Child host;
  std::string err, line;
  ASSERT_TRUE(host.start(toolPath("vxctl"), {"--port", port, "send", "Sleep", "60000"}, err, true)) << err;
  ASSERT_TRUE(sim.waitForLine("<< 17 bytes: EXE Sleep(60000)", kTimeoutMs, line, true)) << sim.err();
  int status = -1;
  ASSERT_TRUE(sim.stop(kTimeoutMs, status));
  ASSERT_TRUE(host.waitExit(kTimeoutMs, status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(host.out(), "");
  EXPECT_EQ(host.err(), "vxctl: Sleep: Command interrupted (viewer code 31)\n");
}

// A launch says what it tries, and ends although the viewer it started
// runs on: the viewer gets neither its stdout nor its stderr, whose pipes
// (as in `vxctl launch 1001 | cat`) would otherwise stay open. Then the
// installation entry is removed, and a second removal finds nothing.
TEST(VxctlCommands, LaunchEndsWhileItsViewerRuns) {
  namespace fs = std::filesystem;
  if (os::tcpPortAnswers(27800)) GTEST_SKIP() << "port 27800, where the launched viewer listens, is taken";
  std::string dir, err;
  ASSERT_TRUE(os::makeScratchDir("vxctl-launch-", dir, err)) << err;
  const std::string copy = (fs::path(dir) / ("vxsim-launched" + os::executableSuffix())).string();
  fs::copy_file(toolPath("vxsim"), copy);  // with its permissions
  // POSIX: a private store; Windows: the (test prefix's) registry, when it has no entries to disturb.
  const bool privateStore = os::redirectInstallStore((fs::path(dir) / "registry").string());
  if (!privateStore && os::registryKeyExists("SOFTWARE\\Halden\\Vexa")) GTEST_SKIP() << "entries in the registry";
  const Args entry = {"register", "--edition", "Amber", "--product-version", "3.1.0.0", "--path", copy};
  EXPECT_EQ(runTool("vxsim", entry).status, 0);

  // Nothing listens where vxctl tries: six attempts, while the viewer listens on 27800.
  const std::string nobody = std::to_string(os::unusedTcpPort());
  const Outcome failed = runTool("vxctl", {"--port", nobody, "launch", "1001"});
  std::string tried;
  for (int attempt = 1; attempt <= 6; ++attempt)
    tried += "vxctl: trying 127.0.0.1:" + nobody + ", attempt " + std::to_string(attempt) + " of 6\n";
  EXPECT_EQ(std::to_string(failed.status) + failed.err.substr(0, tried.size()), "1" + tried) << failed.shown();
  EXPECT_EQ(os::findProcessesByImage(copy).size(), 1u) << "the launched viewer";
  const Outcome launched = runTool("vxctl", {"launch", "1001"});  // the viewer runs: no second one
  EXPECT_EQ(launched.out + std::to_string(launched.status), "1001\n0") << launched.shown();
  for (std::uint32_t pid : os::findProcessesByImage(copy)) os::endProcess(pid, kTimeoutMs);

  using Removal = std::tuple<Args, int, std::string>;  // arguments, status, the start of stdout or stderr
  for (const auto& [args, status, says] : {Removal{{"unregister", "--slot", "0"}, 0, "removed "},
                                           Removal{{"unregister", "--slot", "0"}, 1, "vxsim: nothing to remove: "},
                                           Removal{{"unregister"}, 0, "removed "}}) {
    const Outcome r = runTool("vxsim", args);
    EXPECT_EQ(r.status, status) << r.shown();
    EXPECT_EQ((status == 0 ? r.out : r.err).rfind(says, 0), 0u) << r.shown();
  }
  if (!privateStore) os::removeEmptyRegistryKey("SOFTWARE\\Halden");
  os::restoreInstallStore();
  fs::remove_all(dir);
}

TEST(VxctlCommands, ServeAnswersEachPetitionUntilTheViewerLeaves) {
  const std::string port = std::to_string(os::unusedTcpPort());
  Child server;
  ASSERT_EQ(startListening(server, "vxctl", {"serve", port}), port);
  const Outcome viewer = runTool("vxsim", {"connect", "--port", port, "--call", "Hello(1,2)", "--call", "SYS FLUSH"});
  EXPECT_EQ(viewer.status, 0) << viewer.shown();
  EXPECT_EQ(viewer.out, "answer Hello: code=0 text=OK_ACK\nanswer SYS FLUSH: code=0 text=OK_ACK\n");
  int status = -1;
  ASSERT_TRUE(server.waitExit(kTimeoutMs, status));
  EXPECT_EQ(status, 0) << server.err();
  EXPECT_EQ(server.outLines(),
            (Args{"listening on port " + port, "viewer connected", "EXE Hello(1,2)", "SYS FLUSH", "viewer disconnected"}));
}

// Help and version: exit 0, stdout only. A bad argument: exit 2 and one line
// on stderr, "<tool>: <what is wrong> (see <tool> --help)".
TEST(ToolArguments, StatusAndWhereTheTextGoes) {
  const std::string version = VXB_PROJECT_VERSION;
  const struct {
    std::string tool;
    Args args;
    std::string says;  // a piece of stdout, or the whole complaint
    int status = 2;
  } cases[] = {
      {"vxctl", {"--help"}, "  VXBRIDGE_COMMAND_TIMEOUT_MS=MS ", 0},
      {"vxsim", {"--help"}, "  VXBRIDGE_COMMAND_TIMEOUT_MS=MS ", 0},
      {"vxctl", {"--version"}, "vxctl " + version + " (library 1.0.0.0)\n", 0},
      {"vxsim", {"--version"}, "vxsim " + version + "\n", 0},
      {"vxctl", {}, "no command given"}, {"vxctl", {"frobnicate"}, "unknown command 'frobnicate'"},
      {"vxctl", {"--port", "0", "product"}, "--port needs a number from 1 to 65535, not '0'"},
      {"vxctl", {"--lang", "fra", "product"}, "--lang needs eng, spa or cat, not 'fra'"},
      {"vxctl", {"--host", "", "product"}, "--host needs a host name or address"},
      {"vxctl", {"--host"}, "--host needs a value"}, {"vxctl", {"--bogus", "product"}, "unknown option --bogus"},
      {"vxctl", {"product", "extra"}, "wrong number of arguments for product; expected: product"},
      {"vxctl", {"send", "Echo", "a", "b"},
       "wrong number of arguments for send; expected: send NAME [ARGS] with ARGS as one word, e.g. send Add 2,40"},
      {"vxctl", {"lang", "deu"}, "lang needs eng, spa or cat"},
      {"vxctl", {"serve", "0"}, "serve needs a port from 1 to 65535"},
      {"vxctl", {"error", "abc"}, "error needs a result code (a whole number)"},
      {"vxctl", {"launch", "-1"}, "launch needs a product id (a number such as 1001)"},
      {"vxsim", {"listen", "--bogus"}, "listen has no option --bogus"},
      {"vxsim", {"listen", "--port"}, "--port needs a value"},
      {"vxsim", {"listen", "--port", "0", "extra"}, "unexpected argument 'extra'"},
      {"vxsim", {"listen", "--port", "x"}, "invalid value 'x' for --port"},
      {"vxsim", {"register", "--edition", "Amber"}, "register needs --edition and --product-version"},
      {"vxsim", {"frobnicate"}, "unknown command 'frobnicate'"},
  };
  for (const auto& c : cases) {
    const Outcome r = runTool(c.tool, c.args);
    EXPECT_EQ(r.status, c.status) << r.shown();
    EXPECT_EQ(c.status == 0 ? r.err : r.out, "") << r.shown();
    EXPECT_TRUE(c.status == 0 ? r.out.find(c.says) != std::string::npos
                              : r.err == c.tool + ": " + c.says + " (see " + c.tool + " --help)\n")
        << r.shown();
  }
}

}  // namespace
}  // namespace vxctl
