// VXBRIDGE_TRACE: the lines a real session writes, and a sink that cannot be
// had leaving the connection alone.
#include <filesystem>
#include <fstream>
#include <regex>

#include "host_fixture.h"

namespace vxtest {
namespace {

// The trace's lines with each time stamp masked as "T".
std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(std::regex_replace(line, std::regex("^vxbridge [0-9]+\\.[0-9]{6} "), "T "));
  }
  return lines;
}

TEST_F(HostTest, TheTraceIsWrittenLineByLine) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("vxb-trace-" + std::to_string(port) + ".log")).string();
  std::filesystem::remove(path);
  [[maybe_unused]] const long descriptors = OpenHandles();
  SetEnv("VXBRIDGE_TRACE", path.c_str());
  ASSERT_EQ(Connect(LogCall), 0);
  ASSERT_EQ(VxSendCmdA("Add", "2,40"), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Notify(scene)\n"));
  EXPECT_EQ(Received(2), (std::vector<std::string>{"EXE Add(2,40)\n", "RET 0,2,OK"}));
  ASSERT_EQ(VxDisconnect(), 0);
  std::vector<std::string> expected = {
      "T -- connect to 127.0.0.1:" + std::to_string(port),
      "T >> call 14 bytes: EXE Add(2,40)\\n",
      "T << answer 26 bytes: RET 0,17,ok:EXE Add(2,40)\\n",
      "T << call 18 bytes: EXE Notify(scene)\\n",
      "T >> answer 10 bytes: RET 0,2,OK",
      "T -- disconnect by the host",
  };
  EXPECT_EQ(Lines(path), expected);
  // Off at the next connect: nothing is written, not even a file named so.
  SetEnv("VXBRIDGE_TRACE", "False");
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(VxSendCmdA("Add", "1,1"), 0);
  ASSERT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Lines(path), expected);
  EXPECT_FALSE(std::filesystem::exists("False"));
  // A sink that cannot be opened leaves the connection working, and the
  // next connection finds a good path again.
  const std::string unwritable = path + "-missing-dir/trace.log";
  SetEnv("VXBRIDGE_TRACE", unwritable.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "vxbridge: VXBRIDGE_TRACE: cannot open " + unwritable + "; no trace\n");
  EXPECT_EQ(VxSendCmdA("Add", "2,40"), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Add(2,40)\n");
  ASSERT_EQ(VxDisconnect(), 0);
  EXPECT_FALSE(std::filesystem::exists(unwritable));
  EXPECT_EQ(VxIsConnectionBroken(), 1);  // the host's disconnect, taken here
  // Bytes other than printable text are shown in hex, and a long message is
  // cut: 10 bytes of header and the first 246 of the payload are shown.
  const std::string payload = Bytes("\x01\xFF\0z") + std::string(300, 'x');
  peer.SetResponder([&](const std::string&) { return RetFrame(0, payload); });
  // Settings the connection could not take are noted after its first line.
  SetEnv("VXBRIDGE_TRACE", path.c_str());
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", "1s");
  SetEnv("VXBRIDGE_KEEPALIVE_MS", "fast");
  ASSERT_EQ(Connect(), 0);
  SetEnv("VXBRIDGE_TRACE", nullptr);
  SetEnv("VXBRIDGE_COMMAND_TIMEOUT_MS", nullptr);
  SetEnv("VXBRIDGE_KEEPALIVE_MS", nullptr);
  ASSERT_EQ(VxSendCmdA("Bin", ""), 0);
  peer.Close();
  ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }, 20000));
  expected.insert(expected.end(), {expected[0],
                                   "T -- VXBRIDGE_COMMAND_TIMEOUT_MS=\"1s\" ignored: not a whole number of "
                                   "milliseconds from 0 to 4294967294; commands wait without limit",
                                   "T -- VXBRIDGE_KEEPALIVE_MS=\"fast\" ignored: not IDLE,INTERVAL,COUNT "
                                   "(1000-32767000 ms, 100-32767000 ms, 1-127 probes); the defaults 30000,5000,5 "
                                   "apply",
                                   "T >> call 10 bytes: EXE Bin()\\n",
                                   "T << answer 314 bytes: RET 0,304,\\x01\\xFF\\x00z" + std::string(242, 'x') +
                                       " ... (58 more bytes)",
                                   "T -- break: the connection was closed or lost"});
  EXPECT_EQ(Lines(path), expected);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(VxConnectA("127.0.0.1", FreeLoopbackPort(), 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);  // its socket closed
  // The viewer has closed its sockets too: at most as many as before, once
  // the lost connection's threads, which own its socket and trace file, have
  // ended (on their own, moments after its BrokenHandler).
#if !defined(_WIN32)  // Windows' own handles come and go
  EXPECT_TRUE(WaitUntil([&] { return OpenHandles() <= descriptors; }))
      << OpenHandles() << " > " << descriptors << ": the trace file is closed with its connection";
#endif
  EXPECT_TRUE(std::filesystem::remove(path));
}

}  // namespace
}  // namespace vxtest
