// A host against vxsim, whose calls cross the host's commands on the wire:
// eight threads send commands while the CallHandler sends commands of its
// own, and every command must get its own answer. Reads "listening on port
// N" from vxsim's output on standard input; argument: the number of calls
// vxsim makes. Exit status 0 when every answer was its command's own.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vxbridge.h"

namespace {

std::atomic<int> g_handled{0};
std::atomic<int> g_wrong{0};

// vxsim's Echo answers its argument text.
void Check(const std::string& tag) {
  uint32_t length = 0;
  char* text = nullptr;
  const int rc = VxSendCmdA("Echo", tag.c_str());
  if (rc != 0 || VxGetLastResponseA(&length, &text) != 0 ||
      std::string(text == nullptr ? "" : text, length) != tag) {
    if (++g_wrong < 5) std::printf("%s: %d %s\n", tag.c_str(), rc, text == nullptr ? "(null)" : text);
  }
  VxFreeA(text);
}

void VXAPI OnCall(const char*, const char* args, CallAnswer*) {
  Check(std::string("h") + args);
  ++g_handled;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 0;
  char line[256];
  unsigned port = 0;
  while (port == 0 && std::fgets(line, sizeof line, stdin) != nullptr) {
    std::sscanf(line, "listening on port %u", &port);
  }
  if (port == 0 || VxConnectA("127.0.0.1", port, 0, OnCall, nullptr) != 0) return 3;
  std::vector<std::thread> hosts;
  for (int t = 0; t < 8; ++t) {
    hosts.emplace_back([t, calls] {
      // On until every call of vxsim was handled, so that they cross.
      for (int i = 0; i < 100 || (g_handled < calls && i < 200000); ++i) {
        Check(std::to_string(t) + "." + std::to_string(i));
      }
    });
  }
  for (std::thread& h : hosts) h.join();
  VxDisconnect();
  std::printf("crossing: %d of %d calls handled, %d commands with a wrong answer\n", g_handled.load(),
              calls, g_wrong.load());
  return g_handled == calls && g_wrong == 0 ? 0 : 1;
}
