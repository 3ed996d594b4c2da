// A host that ends its process while still connected: it must end cleanly
// (exit status 0, no hang, no crash). Reads "listening on port N" from the
// simulator's output on standard input, connects, sends one command, and
// returns from main (or calls exit with "exit" as argument).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vxbridge.h"

namespace {
void VXAPI OnBroken() {}
}  // namespace

int main(int argc, char** argv) {
  char line[256];
  unsigned port = 0;
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (std::sscanf(line, "listening on port %u", &port) == 1) break;
  }
  if (port == 0) {
    std::fprintf(stderr, "no port from the simulator\n");
    return 3;
  }
  if (VxConnectA("127.0.0.1", port, 0, nullptr, OnBroken) != 0) {
    std::fprintf(stderr, "connect failed\n");
    return 4;
  }
  int32_t id = 0;
  if (VxGetRemoteProductId(&id) != 0 || id != 1001) {
    std::fprintf(stderr, "unexpected product id %d\n", id);
    return 5;
  }
  std::printf("connected, product %d; leaving while connected\n", id);
  std::fflush(stdout);
  if (argc > 1 && std::strcmp(argv[1], "exit") == 0) std::exit(0);
  return 0;
}
