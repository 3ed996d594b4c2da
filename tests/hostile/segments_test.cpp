// A viewer that stops in the middle of a frame, sends a prefix no buffer is
// made for, or sends garbage, and then leaves.
#include <atomic>
#include <random>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

// Random frames: honest, lying or missing prefixes; known and unknown tags.
std::string RandomGarbage(std::mt19937& rng) {
  static const char kAlphabet[] = "0123456789,,,--++()\n\r RETXESY\x00\x01\xFF\xE9";
  static const char* const kTags[] = {"RET ", "EXE ", "SYS ", ""};
  std::string out;
  for (int f = 1 + static_cast<int>(rng() % 4); f > 0; --f) {
    std::string body;
    if (const uint32_t tag = rng() % 5; tag < 4) {
      body = kTags[tag];
    } else {
      for (int i = 0; i < 4; ++i) body += static_cast<char>(rng() & 0xFF);
    }
    for (int i = static_cast<int>(rng() % 41); i > 0; --i) body += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    const auto size = static_cast<uint32_t>(body.size());
    switch (rng() % 4) {
      case 0: out += FrameDeclaring(size, body); break;
      case 1: out += FrameDeclaring(size + 1 + static_cast<uint32_t>(rng() % 100), body); break;
      case 2: out += FrameDeclaring(static_cast<uint32_t>(rng()), body); break;
      default: out += body; break;
    }
  }
  return out;
}

// The viewer sends part of the answer to the waiting command (or part of a
// call), then closes, resets, or goes silent until another host thread
// disconnects; or it sends a prefix no buffer is made for, or nothing with
// VXBRIDGE_COMMAND_TIMEOUT_MS at 300, and the host ends the connection
// itself. The command sees the break, never a torn answer,
// and no cut call reaches the handler. Seeded garbage, whole or in small
// pieces, ends the command with a code a viewer or a broken link can
// produce. Either way the end is reported once, after any call.
TEST_F(Hostile, AViewerThatStopsMidFrame) {
  enum class Then { Close, Reset, Silence, HostEnds };
  struct Row {
    std::string bytes;
    Then then;
    size_t piece;
    bool garbage;
  };
  constexpr size_t kWhole = 1u << 21;
  std::vector<Row> rows;
  const std::string ret = RetFrame(0, "abcdef");  // "RET 0,6,abcdef", 18 bytes
  for (const std::string& cut : {ret.substr(0, 2), ret.substr(0, 6), ret.substr(0, 10), ret.substr(0, 14),
                                 FrameDeclaring(11, "RET 0,2,OK"), FrameDeclaring(1999999, "RET 0,2,OK"),
                                 FrameDeclaring(32, "EXE Hal")}) {
    for (const Then then : {Then::Close, Then::Reset, Then::Silence}) rows.push_back({cut, then, kWhole, false});
  }
  // 2,000,000 is the first length refused; "garb" reads as 1.6 GB.
  for (const uint32_t declared : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 2000000u}) {
    rows.push_back({FrameDeclaring(declared, "RET 0,2,OK"), Then::HostEnds, kWhole, false});
  }
  rows.push_back({"garbage, not a frame at all", Then::HostEnds, kWhole, false});
  rows.push_back({"", Then::HostEnds, kWhole, false});  // the command times out
  std::mt19937 rng(20240611);
  for (int round = 0; round < 30; ++round) {
    const std::string garbage = RandomGarbage(rng);
    const size_t piece = rng() % 2 == 0 ? kWhole : 1 + rng() % 7;
    rows.push_back({garbage, rng() % 2 == 0 ? Then::Reset : Then::Close, piece, true});
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(i);
    ResetLog();
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", r.bytes.empty() ? "300" : nullptr);
    ScriptPeer viewer;
    Connect(viewer);
    SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
    std::atomic<bool> sent{false};
    bool hostClosed = false;
    viewer.Run([&](TestPeer& v) {
      std::string m;
      if (!v.NextMessage(&m)) return;
      v.SendPieces(r.bytes, r.piece, 0);
      vxb::plat::SleepMs(20);
      sent = true;
      if (r.then == Then::Close) v.Close();
      if (r.then == Then::Reset) v.Reset();
      if (r.then == Then::Silence || r.then == Then::HostEnds) hostClosed = v.WaitClosedByHost();
    });
    std::thread other;
    if (r.then == Then::Silence) {
      other = std::thread([&sent] {
        WaitUntil([&sent] { return sent.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(VxDisconnect(), 0);
      });
    }
    const int rc = VxSendCmdA("Stop", "");
    if (r.garbage) {
      EXPECT_TRUE(rc >= 0 || rc == VX_E_COMMUNICATION_BROKEN || rc == VX_E_INVALID_RESPONSE) << rc;
    } else {
      EXPECT_EQ(rc, VX_E_COMMUNICATION_BROKEN);
      EXPECT_EQ(LastResponseText(), "");
    }
    if (other.joinable()) other.join();
    viewer.Join();
    EXPECT_TRUE(r.then != Then::HostEnds || hostClosed);
    ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
    EXPECT_EQ(VxIsConnectionBroken(), 1);
    EXPECT_EQ(VxSendCmdA("Stop", ""), VX_E_NOT_CONNECTED);
    EXPECT_TRUE(r.garbage || Log().calls.load() == 0);
    EXPECT_EQ(Log().brokenDuringCall, 0);
    EXPECT_EQ(VxDisconnect(), 0);
    EXPECT_EQ(Log().broken, 1) << "the disconnect reports no second end";
  }
}

}  // namespace
}  // namespace vxtest
