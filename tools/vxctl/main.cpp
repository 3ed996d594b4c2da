// vxctl: a command-line host for the Vexa3D viewer, built on the library's
// exports alone (vxbridge.h), as any host program would use the DLL.
#include "ctl_cli.h"
#include "ctl_os.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  vxctl::os::initConsole();
  const std::vector<std::string> words(argv + 1, argv + argc);
  vxctl::Options options;
  std::string why;
  switch (vxctl::parseCommandLine(words, options, why)) {
    case vxctl::Parse::Help:
      std::fputs(vxctl::kUsage, stdout);
      return 0;
    case vxctl::Parse::Version:
      vxctl::printVersion();
      return 0;
    case vxctl::Parse::Bad:
      std::fprintf(stderr, "vxctl: %s (see vxctl --help)\n", why.c_str());
      return 2;
    case vxctl::Parse::Run:
      break;
  }
  const int status = vxctl::runCommand(options);
  std::fflush(stdout);
  return status;
}
