// A host that ends its process while still connected: it must end cleanly
// (exit status 0, no hang, no crash).
//   return | exit   reads "listening on port N" from the simulator's output
//                   on standard input, connects, sends one command, and
//                   returns from main (or calls exit);
//   call-broken     is its own viewer: the viewer leaves while a slow
//                   CallHandler runs, and main returns while the end of the
//                   connection still waits behind that call.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "test_peer.h"
#include "vxbridge.h"

namespace {

void VXAPI OnBroken() {}

std::atomic<bool> g_inCall{false};
std::atomic<bool> g_leaving{false};

void VXAPI SlowCall(const char*, const char*, CallAnswer*) {
  g_inCall = true;
  // Still running once main has returned: the library's unload has to
  // wait for it and then deliver the end of the connection.
  while (!g_leaving) vxb::plat::SleepMs(1);
  vxb::plat::SleepMs(200);
}

int LeaveDuringACall() {
  vxtest::TestPeer viewer(vxtest::TestPeer::Mode::kScript);
  const uint16_t port = viewer.Listen();
  if (VxConnectA("127.0.0.1", port, 0, SlowCall, OnBroken) != 0 || !viewer.Accept()) {
    std::fprintf(stderr, "connect failed\n");
    return 4;
  }
  viewer.SendFrame("EXE Slow()\n");
  while (!g_inCall) vxb::plat::SleepMs(1);
  viewer.Close();
  // The reader closes the link when it sees the end, and queues that end
  // for the dispatcher right after.
  while (VxAvailableBytes() != -1) vxb::plat::SleepMs(1);
  vxb::plat::SleepMs(100);
  std::printf("leaving while a call runs and the end of the connection waits\n");
  std::fflush(stdout);
  g_leaving = true;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "call-broken") == 0) return LeaveDuringACall();
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
