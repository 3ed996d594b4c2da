// A stand-in for the viewer executable in the launch tests. The library
// starts it with no arguments, so it takes its orders from the environment:
//   VXB_FAKE_MARKER_DIR   on start, make one new directory "started-<n>" in
//                         it, so that a test can count the starts;
//   VXB_FAKE_PORT         listen on this port (unset: listen nowhere, just
//                         stay alive like a viewer that is busy);
//   VXB_FAKE_DELAY_MS     wait this long before listening (a slow start-up);
//   VXB_FAKE_LIFETIME_MS  end after this long whatever happens (default
//                         30000), so that a failing test leaves nothing behind.
// It accepts one connection, answers every message with RET 0 and the text
// "fake-viewer", and ends when that connection closes.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

namespace plat = vxb::plat;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return (text != nullptr && *text != '\0') ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

bool ReceiveAll(plat::Socket s, std::string& data) {
  for (size_t got = 0; got < data.size();) {
    const int n = plat::Recv(s, &data[got], static_cast<int>(data.size() - got), false);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(EnvNumber("VXB_FAKE_LIFETIME_MS", 30000)));
    std::_Exit(3);
  }).detach();
  // create_directory succeeds for one caller only: a start counts once even
  // when two copies start at the same time.
  const char* dir = std::getenv("VXB_FAKE_MARKER_DIR");
  std::error_code ec;
  for (int n = 0; dir != nullptr && *dir != '\0' && n < 1000; ++n) {
    if (std::filesystem::create_directory(std::filesystem::path(dir) / ("started-" + std::to_string(n)), ec)) break;
  }
  const uint32_t port = EnvNumber("VXB_FAKE_PORT", 0);
  while (port == 0) std::this_thread::sleep_for(std::chrono::seconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(EnvNumber("VXB_FAKE_DELAY_MS", 0)));

  plat::SocketsStart();
  const plat::Socket listener = plat::TcpSocket();
  if (listener == plat::kInvalidSocket || plat::BindAny(listener, static_cast<uint16_t>(port)) != 0 ||
      plat::Listen(listener, 1) != 0) {
    return 2;
  }
  const plat::Socket s = plat::Accept(listener);
  plat::CloseSocket(listener);
  const std::string frame = std::string("\x14\0\0\0", 4) + "RET 0,11,fake-viewer";
  for (std::string prefix(4, '\0'); s != plat::kInvalidSocket && ReceiveAll(s, prefix);) {
    std::string message(static_cast<uint8_t>(prefix[0]) | (static_cast<uint8_t>(prefix[1]) << 8) |
                            (static_cast<uint8_t>(prefix[2]) << 16), '\0');
    if (!ReceiveAll(s, message) || plat::Send(s, frame.data(), static_cast<int>(frame.size())) < 0) break;
  }
  if (s != plat::kInvalidSocket) plat::CloseSocket(s);
  plat::SocketsStop();
  return 0;
}
