// vxsim: a stand-in for the Vexa3D viewer, so hosts can exercise the library
// without the real application. See usage() for the modes.
#include "library_settings.h"
#include "sim_commands.h"
#include "sim_os.h"
#include "sim_registry.h"
#include "sim_script.h"
#include "sim_session.h"
#include "sim_viewer.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace vxsim;

// Below the ephemeral ranges of Linux (32768-) and Windows (49152-), so a
// client connection of some other program can never be holding it.
constexpr std::uint16_t kDefaultPort = 27800;

const char* const kUsage =
    "usage:\n"
    "  vxsim listen [--port P] [--edition Amber|Cobalt] [--product-version A.B.C.D]\n"
    "               [--trace] [--keep] [--call 'Name(args)']... [--calls FILE] [--interval MS]\n"
    "               [--script FILE]\n"
    "  vxsim connect [--host H] --port P [--edition E] [--product-version V]\n"
    "               [--call 'Name(args)']... [--calls FILE] [--interval MS] [--trace]\n"
    "  vxsim register --edition Amber|Cobalt --product-version A.B.C.D [--path EXE]\n"
    "               [--slot N] [--language eng|spa|cat]\n"
    "  vxsim unregister [--slot N]\n"
    "  vxsim proxy --listen PORT --to HOST:PORT [--record FILE] [--keep] [--trace]\n"
    "  vxsim replay FILE [--port P] [--allow PATTERN]... [--timeout S] [--trace]\n"
    "               [--detach LOG]\n"
    "  vxsim wait LOG [--timeout S]\n"
    "  vxsim --help | --version\n"
    "\n"
    "listen      act as the viewer: wait on every interface, port P (default 27800;\n"
    "            0 picks a free one), print \"listening on port P\", serve one host\n"
    "            and exit 0 when it disconnects; --keep serves one host after another.\n"
    "            Without any argument at all vxsim runs \"listen --keep\".\n"
    "connect     connect to a host listening on H:P (H defaults to 127.0.0.1; retried\n"
    "            for 5 s), send the calls one at a time waiting for each answer, then\n"
    "            exit 0; exit 1 if the connection fails first. Default calls:\n"
    "            Hello(1,2) and SYS FLUSH.\n"
    "register    write an installation entry (slot N, default: append; path defaults\n"
    "            to this executable and must be a file, language to eng).\n"
    "unregister  remove slot N, or without --slot the whole installation key; exit\n"
    "            1 when there is nothing to remove.\n"
    "proxy       listen on PORT as listen does and relay each host to the viewer at\n"
    "            HOST:PORT, every byte unchanged both ways; --record writes each\n"
    "            frame with its side and time to FILE. One host unless --keep.\n"
    "replay      play the viewer's side of a recording to a host on port P (as for\n"
    "            listen), one host per recorded session; exit 0 when the host wrote\n"
    "            what was recorded, else report the first divergence (the host's\n"
    "            frame, expected and actual) and exit 1. A host frame may differ\n"
    "            where both match an --allow PATTERN ('LoadScene(*)', 'SYS *',\n"
    "            'RET 0,*'; * any bytes, ? one byte); timing always may. --timeout\n"
    "            S (default 60, 0 none) limits each wait for the host. --detach LOG\n"
    "            runs it in the background, its output into LOG, once it listens.\n"
    "wait        wait (--timeout S, default 300) for the background replay of LOG\n"
    "            to end; print LOG and exit with the replay's status.\n"
    "\n"
    "--call 'Name(args)' or --call 'SYS TEXT' sends a call to the host; --calls FILE\n"
    "reads one call per line (blank lines and # comments ignored). Calls go out one\n"
    "every --interval ms (default 100); each answer prints \"answer Name: code=C text=T\".\n"
    "--script FILE answers the host from the rules of FILE instead of the command\n"
    "set below (docs/TESTING.md describes scripts and recordings).\n"
    "--trace dumps every frame to stderr (<< received, >> sent). --version prints\n"
    "vxsim's own version; --version V after a command is the old spelling of\n"
    "--product-version V.\n"
    "\n"
    "The simulated viewer answers (code 0 unless said otherwise):\n"
    "  VxGetTypeViewer()                  1001 (Amber) or 1002 (Cobalt), see --edition\n"
    "  VxProductVersion()                 the --product-version, default 3.1.0.0\n"
    "  VxSetLanguage('eng'|'spa'|'cat')   OK; its messages follow that language\n"
    "  GetErrorString('LANG',HEX)         the message of its code HEX (26 to 31)\n"
    "  Echo(TEXT)                         TEXT\n"
    "  Add(A,B)                           the sum of the whole numbers A and B\n"
    "  LoadScene('FILE')                  OK\n"
    "  GetCameraPosition()                0.0,0.0,10.0\n"
    "  Sleep(MS)                          OK after MS milliseconds (31 when vxsim is\n"
    "                                     stopped meanwhile)\n"
    "  SYS FLUSH, SYS CANCELALL           OK\n"
    "  anything else                      26 Unknown command; malformed arguments 27\n"
    "Its codes: 26 Unknown command, 27 Invalid arguments, 28 Object not found,\n"
    "29 Scene is empty, 30 Unsupported language, 31 Command interrupted.\n"
    "\n"
    "Installation entries live in HKEY_LOCAL_MACHINE\\SOFTWARE\\Halden\\Vexa on Windows;\n"
    "elsewhere in the directory tree $VXBRIDGE_REGISTRY_ROOT (default\n"
    "/etc/vxbridge/registry, for root)/HKEY_LOCAL_MACHINE/SOFTWARE/Halden/Vexa; as a\n"
    "user, set VXBRIDGE_REGISTRY_ROOT to a folder of yours, for the host as well.\n"
    "\n"
    "The library in the host reads these environment variables (vxsim only notes a\n"
    "value the library will ignore):\n"
    "  VXBRIDGE_TRACE=stderr|1|FILE     trace every frame to stderr or append it to FILE\n"
    "                                   (0, false, off, no: no trace)\n"
    "  VXBRIDGE_COMMAND_TIMEOUT_MS=MS   give a command up after MS ms without an answer\n"
    "  VXBRIDGE_KEEPALIVE_MS=IDLE,INTERVAL,COUNT   TCP keep-alive of each connection\n"
    "  VXBRIDGE_LISTEN_ADDRESS=A.B.C.D  server mode: listen on that local address only\n"
    "  VXBRIDGE_REGISTRY_ROOT=DIR       the installation store above (not on Windows)\n";

struct Options {
  std::string mode = "listen";
  std::uint16_t port = kDefaultPort;
  bool portGiven = false;
  std::string host = "127.0.0.1";
  ViewerState viewer;
  bool editionGiven = false, versionGiven = false;
  bool trace = false, keep = false;
  std::vector<std::string> callTexts;
  std::string callsFile;
  std::string scriptFile;
  int intervalMs = 100;
  std::string path, language = "eng";
  int slot = -1;
};

bool parseInt(const std::string& text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= low && value <= high;
}

bool isVersion(const std::string& text) {
  int dots = 0;
  bool digit = false;
  for (char c : text) {
    if (c == '.') {
      if (!digit) return false;
      ++dots;
      digit = false;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else {
      return false;
    }
  }
  return dots == 3 && digit;
}

// The options each command takes; "flag" ones take no value.
struct OptionShape {
  const char* name;
  bool flag;
  bool listen, connect, reg, unreg;
};

const OptionShape kOptions[] = {
    {"--trace", true, true, true, false, false},
    {"--keep", true, true, false, false, false},
    {"--port", false, true, true, false, false},
    {"--host", false, false, true, false, false},
    {"--edition", false, true, true, true, false},
    {"--product-version", false, true, true, true, false},
    {"--version", false, true, true, true, false},  // the old spelling
    {"--call", false, true, true, false, false},
    {"--calls", false, true, true, false, false},
    {"--script", false, true, false, false, false},
    {"--interval", false, true, true, false, false},
    {"--path", false, false, false, true, false},
    {"--language", false, false, false, true, false},
    {"--slot", false, false, false, true, true},
};

const OptionShape* findOption(const std::string& name, const std::string& mode) {
  for (const OptionShape& o : kOptions) {
    if (name != o.name) continue;
    const bool fits = (mode == "listen" && o.listen) || (mode == "connect" && o.connect) ||
                      (mode == "register" && o.reg) || (mode == "unregister" && o.unreg);
    return fits ? &o : nullptr;
  }
  return nullptr;
}

// Returns false, with the reason in why (naming the argument at fault), on
// anything unknown, misplaced or malformed.
bool parseArgs(int argc, char** argv, Options& o, std::string& why) {
  if (argc < 2) {
    o.keep = true;  // how the library's launch feature starts us
    return true;
  }
  o.mode = argv[1];
  if (o.mode != "listen" && o.mode != "connect" && o.mode != "register" && o.mode != "unregister") {
    why = "unknown command '" + o.mode + "'";
    return false;
  }
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.compare(0, 2, "--") != 0) {
      why = "unexpected argument '" + a + "'";
      return false;
    }
    const OptionShape* shape = findOption(a, o.mode);
    if (shape == nullptr) {
      why = o.mode + " has no option " + a;
      return false;
    }
    std::string v;
    if (!shape->flag) {
      if (i + 1 >= argc) {
        why = a + " needs a value";
        return false;
      }
      v = argv[++i];
    }
    long n = 0;
    bool ok = true;
    if (a == "--trace") {
      o.trace = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--port") {
      ok = parseInt(v, 0, 65535, n);
      o.port = static_cast<std::uint16_t>(n);
      o.portGiven = true;
    } else if (a == "--host") {
      o.host = v;
    } else if (a == "--edition") {
      ok = parseEdition(v, o.viewer.edition);
      o.editionGiven = true;
    } else if (a == "--product-version" || a == "--version") {
      ok = isVersion(v);
      o.viewer.version = v;
      o.versionGiven = true;
    } else if (a == "--call") {
      o.callTexts.push_back(v);
    } else if (a == "--calls") {
      o.callsFile = v;
    } else if (a == "--script") {
      o.scriptFile = v;
    } else if (a == "--interval") {
      ok = parseInt(v, 0, 3600000, n);
      o.intervalMs = static_cast<int>(n);
    } else if (a == "--path") {
      o.path = v;
    } else if (a == "--language") {
      ok = isKnownLanguage(v);
      o.language = v;
    } else if (a == "--slot") {
      ok = parseInt(v, 0, 9999, n);
      o.slot = static_cast<int>(n);
    }
    if (!ok) {
      why = "invalid value '" + v + "' for " + a;
      return false;
    }
  }
  if (o.mode == "connect" && !o.portGiven) why = "connect needs --port";
  if (o.mode == "register" && (!o.editionGiven || !o.versionGiven))
    why = "register needs --edition and --product-version";
  // A launch would start this file: an entry for a file that is not there
  // only fails later, with -17.
  std::error_code ec;
  if (why.empty() && !o.path.empty() && !std::filesystem::is_regular_file(o.path, ec))
    why = "--path " + o.path + " is no file (give the viewer's executable, or leave --path out for vxsim)";
  return why.empty();
}

bool loadCalls(const Options& o, std::vector<OutgoingCall>& calls) {
  std::vector<std::string> texts = o.callTexts;
  if (!o.callsFile.empty()) {
    std::ifstream in(o.callsFile);
    if (!in) {
      std::cerr << "vxsim: cannot read " << o.callsFile << "\n";
      return false;
    }
    for (std::string line; std::getline(in, line);) {
      const std::size_t first = line.find_first_not_of(" \t\r");
      if (first != std::string::npos && line[first] != '#') texts.push_back(line);
    }
  }
  if (texts.empty() && o.mode == "connect") texts = {"Hello(1,2)", "SYS FLUSH"};
  for (const std::string& text : texts) {
    OutgoingCall call;
    if (!makeOutgoingCall(text, call)) {
      std::cerr << "vxsim: not a call: " << text << "\n";
      return false;
    }
    calls.push_back(call);
  }
  return true;
}

os::Socket waitForHost(os::Socket listener) {
  while (!os::stopRequested()) {
    const int ready = os::waitReadable(listener, 100);
    if (ready == 0) continue;
    std::string err = "waiting for a connection failed";
    const os::Socket s = ready > 0 ? os::acceptClient(listener, err) : os::kNoSocket;
    if (s == os::kNoSocket && !os::stopRequested()) std::cerr << "vxsim: " << err << "\n";
    return s;
  }
  return os::kNoSocket;
}

int runListen(const Options& o, const SessionOptions& session) {
  std::uint16_t port = 0;
  std::string err;
  const os::Socket listener = os::listenTcp(o.port, port, err);
  if (listener == os::kNoSocket) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  std::cout << "listening on port " << port << std::endl;
  int status = 0;
  do {
    const os::Socket host = waitForHost(listener);
    if (host == os::kNoSocket) {
      status = os::stopRequested() ? 0 : 1;
      break;
    }
    if (o.trace) std::cerr << "vxsim: host connected\n";
    ViewerState viewer = o.viewer;  // every connection starts with a fresh viewer
    const SessionEnd end = runSession(host, viewer, session);
    os::closeSocket(host);
    if (o.trace) std::cerr << "vxsim: connection closed\n";
    // A stop request ends cleanly whatever happened to earlier connections.
    status = end == SessionEnd::ProtocolError ? 1 : 0;
    if (end == SessionEnd::Stopped) {
      status = 0;
      break;
    }
  } while (o.keep);
  os::closeSocket(listener);
  return status;
}

int runConnect(const Options& o, const SessionOptions& session) {
  std::string err;
  os::Socket s = os::kNoSocket;
  for (int attempt = 0; attempt < 50 && !os::stopRequested(); ++attempt) {
    if ((s = os::connectTcp(o.host, o.port, err)) != os::kNoSocket) break;
    os::sleepMs(100);  // the host may still be starting up
  }
  if (s == os::kNoSocket) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  ViewerState viewer = o.viewer;
  const SessionEnd end = runSession(s, viewer, session);
  os::closeSocket(s);
  if (end == SessionEnd::AllAnswered) return 0;
  std::cerr << "vxsim: connection ended before every call was answered\n";
  return 1;
}

int runRegistry(const Options& o) {
  std::string err;
  if (o.mode == "unregister") {
    bool existed = false;
    if (!unregisterEntry(o.slot, existed, err)) {
      std::cerr << "vxsim: " << err << "\n";
      return 1;
    }
    const std::string what =
        os::regDescribe(kInstallKey) + (o.slot >= 0 ? " slot " + std::to_string(o.slot) : std::string());
    // A script that removes what it registered learns that it was not there.
    if (!existed) {
      std::cerr << "vxsim: nothing to remove: " << what << " does not exist\n";
      return 1;
    }
    std::cout << "removed " << what << "\n";
    return 0;
  }
  const char* edition = o.viewer.edition == Edition::Cobalt ? "Cobalt" : "Amber";
  const InstallEntry entry{edition, o.viewer.version,
                           o.path.empty() ? os::executablePath() : o.path, o.language};
  int slot = 0;
  if (!registerEntry(entry, o.slot, slot, err)) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  std::cout << "registered " << edition << " " << entry.version << " in slot " << slot << " of "
            << os::regDescribe(kInstallKey) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  // Alone, --version is vxsim's own; after a command it sets the simulated
  // product's version (its old spelling).
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::cout << "vxsim " << VXSIM_VERSION << "\n";
    return 0;
  }
  if (argc >= 2 && isRecordingCommand(argv[1])) return runRecordingCommand(argc, argv);
  Options o;
  std::string why;
  if (!parseArgs(argc, argv, o, why)) {
    std::cerr << "vxsim: " << why << " (see vxsim --help)\n";
    return 2;
  }
  if (o.mode == "register" || o.mode == "unregister") return runRegistry(o);
  // Settings for the host's library in the same environment, which it will
  // ignore (it says so only in its trace).
  for (const std::string& note : vxtools::ignoredSettings()) std::cerr << "vxsim: note: " << note << "\n";

  SessionOptions session;
  session.intervalMs = o.intervalMs;
  session.trace = o.trace;
  session.waitForAnswers = o.mode == "connect";
  if (!loadCalls(o, session.calls)) return 2;
  Script script;
  if (!o.scriptFile.empty()) {
    if (!loadScript(o.scriptFile, script, why)) {
      std::cerr << "vxsim: " << why << "\n";
      return 2;
    }
    session.script = &script;
  }
  std::string err;
  if (!os::startNetwork(err)) {
    std::cerr << "vxsim: " << err << "\n";
    return 1;
  }
  os::installStopHandler();
  return o.mode == "connect" ? runConnect(o, session) : runListen(o, session);
}
