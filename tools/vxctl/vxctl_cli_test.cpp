// vxctl as a user meets it: separate processes, exit statuses, what lands on
// stdout and stderr. vxctl and vxsim are found next to this test program.
#include "ctl_os.h"
#include "ctl_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace vxctl {
namespace {

constexpr int kTimeoutMs = 60000;
using Args = std::vector<std::string>;

std::string toolPath(const std::string& name) { return os::executableDir() + name + os::executableSuffix(); }

std::string shown(const std::string& tool, const Args& args) {
  std::string text = tool;
  for (const std::string& a : args) text += " [" + a + "]";
  return text;
}

struct Outcome {
  int status = -1;
  std::string out, err;
  std::string shown() const { return "status " + std::to_string(status) + "\nstdout: " + out + "\nstderr: " + err; }
};

Outcome runTool(const std::string& tool, const Args& args) {
  Outcome r;
  Child c;
  if (!c.start(toolPath(tool), args, r.err, true)) return ADD_FAILURE() << r.err, r;
  if (!c.waitExit(kTimeoutMs, r.status)) ADD_FAILURE() << tool << " did not end";
  r.out = c.out();
  r.err = c.err();
  for (std::string* text : {&r.out, &r.err})  // Windows ends lines with "\r\n"
    text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
  return r;
}

// A vxsim in listen mode on a free port. Its answers depend on the frames it
// got, so exact stdout also checks what vxctl sent.
class Simulator {
 public:
  explicit Simulator(Args args) {
    args.insert(args.begin(), {"listen", "--port", "0", "--keep"});
    std::string err, line;
    if (!child_.start(toolPath("vxsim"), args, err, true) || !child_.waitForLine("listening on port ", kTimeoutMs, line) ||
        std::sscanf(line.c_str(), "listening on port %u", &port_) != 1)
      ADD_FAILURE() << "no port from vxsim: " << err << child_.out() << child_.err();
  }
  std::string port() const { return std::to_string(port_); }

 private:
  Child child_;
  unsigned port_ = 0;
};

// Each command against a viewer (sim) or against a port nobody listens on.
TEST(VxctlCommands, StatusOutputAndFramesPerCommand) {
  // --version after the command: the old spelling of --product-version.
  Simulator sim({"--edition", "Cobalt", "--version", "4.0.1.2"});
  const std::string nobody = std::to_string(os::unusedTcpPort());
  const struct {
    bool viewer;
    Args args;
    int status;
    std::string out;  // exact stdout
    Args errHas;  // pieces of stderr
  } cases[] = {
      {true, {"--trace", "send", "Echo", "hello, viewer"}, 0, "hello, viewer\n",
       {" -- connect to 127.0.0.1:" + sim.port() + "\n", " >> call 24 bytes: EXE Echo(hello, viewer)\\n\n",
        " << answer 22 bytes: RET 0,13,hello, viewer\n", " -- disconnect by the host\n"}},
      {true, {"--host", "127.0.0.1", "send", "GetCameraPosition"}, 0, "0.0,0.0,10.0\n", {}},
      {true, {"product"}, 0, "1002\n", {}},
      {true, {"version"}, 0, "4.0.1.2\n", {}},
      {true, {"lang", "cat"}, 0, "OK\n", {}},
      {true, {"wait"}, 0, "OK\n", {}},
      {true, {"cancel"}, 0, "OK\n", {}},
      {true, {"--lang", "cat", "error", "26"}, 0, "Ordre desconeguda\n", {}},
      {true, {"error", "31"}, 1, "", {"the viewer has no message for this code"}},
      {true, {"send", "Teleport", "0,0,5"}, 1, "", {"Unknown command", "26"}},
      {true, {"--lang", "spa", "send", "Add", "two,three"}, 1, "",
       {os::consoleText("Argumentos no v\xE1lidos"), "27"}},
      {false, {"error", "-5"}, 0, "Host not found\n", {}},
      {false, {"--lang", "cat", "error", "-14"}, 0, os::consoleText("Vexa3D no est\xE0 instal\xB7lat") + "\n", {}},
      {false, {"error", "-21"}, 1, "", {"Invalid parameter"}},
      {false, {"product"}, 1, "",
       {"Host not found", "-5",
        "is a viewer listening on 127.0.0.1:" + nobody + "? (try: vxsim listen --port " + nobody + ")"}},
      {false, {"error", "31"}, 1, "", {"codes above 0 are the viewer's own and need a connection"}},
      {false, {"--lang", "spa", "send", "Echo", "x"}, 1, "", {"Servidor no encontrado"}},
      {false, {"launch", "1003"}, 1, "", {"Unknown product"}},
  };
  for (const auto& c : cases) {
    Args args = {"--port", c.viewer ? sim.port() : nobody};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(shown("vxctl", args));
    const Outcome r = runTool("vxctl", args);
    EXPECT_EQ(r.status, c.status) << r.shown();
    EXPECT_EQ(r.out, c.out);
    for (const std::string& piece : c.errHas) EXPECT_NE(r.err.find(piece), std::string::npos) << piece << "\n" << r.err;
  }
}

TEST(VxctlCommands, ServeAnswersEachPetitionUntilTheViewerLeaves) {
  const std::string port = std::to_string(os::unusedTcpPort());
  Child server;
  std::string err, line;
  ASSERT_TRUE(server.start(toolPath("vxctl"), {"serve", port}, err, true)) << err;
  ASSERT_TRUE(server.waitForLine("listening on port", kTimeoutMs, line)) << server.out() << server.err();
  const Outcome viewer = runTool("vxsim", {"connect", "--port", port, "--call", "Hello(1,2)", "--call", "SYS FLUSH"});
  EXPECT_EQ(viewer.status, 0) << viewer.shown();
  EXPECT_EQ(viewer.out, "answer Hello: code=0 text=OK_ACK\nanswer SYS FLUSH: code=0 text=OK_ACK\n");
  int status = -1;
  ASSERT_TRUE(server.waitExit(kTimeoutMs, status));
  EXPECT_EQ(status, 0) << server.err();
  EXPECT_EQ(server.outLines(),
            (Args{"listening on port " + port, "viewer connected", "EXE Hello(1,2)", "SYS FLUSH", "viewer disconnected"}));
}

// A bad argument: exit 2, one line on stderr naming it; help and version: exit 0, stdout only.
TEST(ToolArguments, StatusAndWhereTheTextGoes) {
  const std::string version = VXB_PROJECT_VERSION;
  const struct {
    std::string tool;
    Args args;
    std::string says;
    int status = 2;
  } cases[] = {
      {"vxctl", {"--help"}, "usage: vxctl", 0},
      {"vxctl", {"--version"}, "vxctl " + version + " (library 1.0.0.0)\n", 0},
      {"vxsim", {"--help"}, "  GetCameraPosition()                0.0,0.0,10.0\n", 0},
      {"vxsim", {"--version"}, "vxsim " + version + "\n", 0},
      {"vxctl", {}, "no command given"},
      {"vxctl", {"frobnicate"}, "unknown command 'frobnicate'"},
      {"vxctl", {"--port", "0", "product"}, "--port needs a number"},
      {"vxctl", {"--port", "65536", "product"}, "--port needs a number"},
      {"vxctl", {"--port", "12x", "product"}, "not '12x'"},
      {"vxctl", {"--lang", "fra", "product"}, "--lang needs eng, spa or cat"},
      {"vxctl", {"--host"}, "--host needs a value"},
      {"vxctl", {"--host", "", "product"}, "--host needs a host name"},
      {"vxctl", {"--bogus", "product"}, "unknown option --bogus"},
      {"vxctl", {"product", "extra"}, "wrong number of arguments for product"},
      {"vxctl", {"send", "Echo", "a", "b"}, "wrong number of arguments for send"},
      {"vxctl", {"lang", "deu"}, "lang needs eng"},
      {"vxctl", {"error", "abc"}, "error needs a result code"},
      {"vxctl", {"launch", "-1"}, "launch needs a product id"},
      {"vxctl", {"serve", "0"}, "serve needs a port"},
      {"vxsim", {"listen", "--bogus"}, "listen has no option --bogus"},
      {"vxsim", {"listen", "--port", "0", "extra"}, "unexpected argument 'extra'"},
      {"vxsim", {"listen", "--port"}, "--port needs a value"},
      {"vxsim", {"listen", "--port", "x"}, "invalid value 'x' for --port"},
      {"vxsim", {"register", "--edition", "Amber"}, "register needs --edition and --product-version"},
      {"vxsim", {"frobnicate"}, "unknown command 'frobnicate'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(shown(c.tool, c.args));
    const Outcome r = runTool(c.tool, c.args);
    EXPECT_EQ(r.status, c.status) << r.shown();
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.shown();
    EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
    if (c.status == 0) continue;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind(c.tool + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(see " + c.tool + " --help)\n"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace vxctl
