// A host that ends its process while still connected: it must end cleanly
// (exit status 0, no hang, no crash).
//   return | exit   reads "listening on port N" from the simulator's output
//                   on standard input, connects, asks the product id, and
//                   returns from main (or calls exit);
//   call-broken     is its own viewer: the viewer leaves while a slow
//                   CallHandler runs, and main returns while the end of the
//                   connection still waits behind that call.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "test_peer.h"
#include "vxbridge.h"

namespace {

using vxb::plat::SleepMs;

std::atomic<bool> g_inCall{false};
std::atomic<bool> g_leaving{false};

void VXAPI OnBroken() {}

void VXAPI SlowCall(const char*, const char*, CallAnswer*) {
  g_inCall = true;
  // Still running once main has returned: the library's unload has to
  // wait for it and then deliver the end of the connection.
  while (!g_leaving) SleepMs(1);
  SleepMs(200);
}

int LeaveDuringACall() {
  vxtest::TestPeer viewer(vxtest::TestPeer::Mode::kScript);
  if (VxConnectA("127.0.0.1", viewer.Listen(), 0, SlowCall, OnBroken) != 0 || !viewer.Accept()) return 4;
  viewer.SendFrame("EXE Slow()\n");
  while (!g_inCall) SleepMs(1);
  viewer.Close();
  // The reader closes the link when it sees the end, and queues that end
  // for the dispatcher right after.
  while (VxAvailableBytes() != -1) SleepMs(1);
  SleepMs(100);
  g_leaving = true;
  return 0;
}

void VXAPI KeepsWorking(const char*, const char*, CallAnswer*) {
  g_inCall = true;
  for (;;) {
    VxSetLanguageA("spa");
    CallRecord record;
    VxRecvCmd(&record);
    VxAvailableBytes();
    uint32_t length = 0;
    char* text = nullptr;
    if (VxGetLastResponseA(&length, &text) == 0) VxFreeA(text);
  }
}

int ReturnWhileAHandlerWorks() {
  // Its thread answers until the process ends; reachable to the end.
  static auto* viewer = new vxtest::TestPeer;
  viewer->SetResponder([](const std::string& m) {
    return m.compare(0, 4, "RET ") == 0 ? std::string() : vxtest::RetFrame(0, "ok");
  });
  if (VxConnectA("127.0.0.1", viewer->Listen(), 0, KeepsWorking, OnBroken) != 0) return 4;
  if (!viewer->WaitConnected() || !viewer->SendFrame("EXE Work()\n")) return 5;
  while (!g_inCall) SleepMs(1);
  SleepMs(20);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "return";
  if (std::strcmp(mode, "call-broken") == 0) return LeaveDuringACall();
  if (std::strcmp(mode, "handler-works") == 0) return ReturnWhileAHandlerWorks();
  char line[256];
  unsigned port = 0;
  while (port == 0 && std::fgets(line, sizeof line, stdin) != nullptr) {
    std::sscanf(line, "listening on port %u", &port);
  }
  if (port == 0) return 3;
  if (VxConnectA("127.0.0.1", port, 0, nullptr, OnBroken) != 0) return 4;
  int32_t id = 0;
  if (VxGetRemoteProductId(&id) != 0 || id != 1001) return 5;
  if (std::strcmp(mode, "exit") == 0) std::exit(0);
  return 0;
}
