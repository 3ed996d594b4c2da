// Command calls of a client session: frames on the wire, answers, product
// queries, language, and the latest response.
#include <cstring>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

// A connected viewer that answers by command.
class Commands : public HostTest {
 protected:
  std::atomic<int> versionQueries{0};
  void SetUp() override {
    HostTest::SetUp();
    peer.SetResponder([this](const std::string& m) {
      if (m == "EXE VxProductVersion()\n") return ++versionQueries, RetFrame(0, std::string(600, 'v'));
      if (m == "EXE Greet()\n") return RetFrame(0, Bytes("he\0l\xE9"));
      return m == "EXE Fail()\n" ? RetFrame(12, "0123456789") : RetFrame(0, "ok:" + m);
    });
    ASSERT_EQ(Connect(), 0);
  }
};

TEST_F(Commands, FramesAnswersAndTheLatestResponse) {
  EXPECT_EQ(VxSendCmdA("Move", "1,2"), 0);
  EXPECT_EQ(VxWaitFor(), 0);
  EXPECT_EQ(VxCancelAll(), 0);
  // W texts are narrowed to their low byte.
  const VxWChar name[] = {'P', 'r', 'i', 'c', 'e', 0};
  const VxWChar args[] = {0x20AC, '5', 0x00E9, 0};
  EXPECT_EQ(VxSendCmdW(name, args), 0);
  // Refused language codes send nothing; an unknown one repeats the current.
  for (const char* refused : {"sp", "spain", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(VxSetLanguageA(refused), VX_E_UNSUPPORTED_LANGUAGE);
  }
  EXPECT_EQ(VxSetLanguageW(nullptr), VX_E_UNSUPPORTED_LANGUAGE);
  const VxWChar cat[] = {'c', 'a', 't', 0};
  EXPECT_EQ(VxSetLanguageA("spa"), 0);
  EXPECT_EQ(VxSetLanguageW(cat), 0);
  EXPECT_EQ(VxSetLanguageA("fra"), 0);
  EXPECT_EQ(VxSetLanguageA("eng"), 0);
  EXPECT_EQ(peer.RawReceived(), Bytes("\x0E\x00\x00\x00" "EXE Move(1,2)\n"
                                      "\x0A\x00\x00\x00" "SYS FLUSH\n"
                                      "\x0E\x00\x00\x00" "SYS CANCELALL\n"
                                      "\x0F\x00\x00\x00" "EXE Price(\xAC" "5\xE9)\n"
                                      "\x19\x00\x00\x00" "EXE VxSetLanguage('spa')\n"
                                      "\x19\x00\x00\x00" "EXE VxSetLanguage('cat')\n"
                                      "\x19\x00\x00\x00" "EXE VxSetLanguage('cat')\n"
                                      "\x19\x00\x00\x00" "EXE VxSetLanguage('eng')\n"));
  EXPECT_EQ(VxSendCmdW(nullptr, args), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxSendCmdW(name, nullptr), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxConnectW(nullptr, port, 0, nullptr, nullptr), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxSendCmdA(nullptr, "x"), VX_E_INVALID_PARAMETER);
  // The latest response is kept until the next command.
  ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
  uint32_t length = 0;
  for (int copy = 0; copy < 2; ++copy) {  // not consumed: a second copy is the same
    char* text = nullptr;
    ASSERT_EQ(VxGetLastResponseA(&length, &text), 0);
    EXPECT_EQ(std::string(text, length + 1), Bytes("he\0l\xE9\0"));
    VxFreeA(text);
  }
  VxWChar* wide = nullptr;  // widened by sign extension
  ASSERT_EQ(VxGetLastResponseW(&length, &wide), 0);
  EXPECT_EQ(std::vector<uint16_t>(wide, wide + length + 1), (std::vector<uint16_t>{'h', 'e', 0, 'l', 0xFFE9, 0}));
  VxFreeW(wide);
  // The viewer's error text copies into the caller's buffer: cut without a
  // terminator, or whole and zero-padded.
  ASSERT_EQ(VxSendCmdA("Fail", ""), 12);
  char buffer[20];
  std::memset(buffer, 'x', sizeof buffer);
  int32_t size = -3;
  EXPECT_EQ(VxLastVexaErrorMessageA(buffer, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(size, -3);
  EXPECT_EQ(VxLastVexaErrorMessageA(buffer, nullptr), VX_E_INVALID_PARAMETER);
  // A size of 0 copies nothing and succeeds, with or without a buffer.
  for (char* where : {buffer, static_cast<char*>(nullptr)}) {
    size = 0;
    EXPECT_EQ(VxLastVexaErrorMessageA(where, &size), 0);
    EXPECT_EQ(size, 0);
  }
  EXPECT_EQ(std::string(buffer, 20), std::string(20, 'x'));
  for (const int32_t capacity : {4, 11}) {
    size = capacity;
    ASSERT_EQ(VxLastVexaErrorMessageA(buffer, &size), 0);
    EXPECT_EQ(size, capacity == 4 ? 4 : 10);
    EXPECT_EQ(std::string(buffer, 12), capacity == 4 ? "0123xxxxxxxx" : Bytes("0123456789\0x"));
  }
  // A thread that has sent nothing reads the latest answer of the process.
  std::string seen;
  std::thread([&seen] { seen = LastResponseText(); }).join();
  EXPECT_EQ(seen, "0123456789");
  // A failed command resets the latest response.
  ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
  EXPECT_EQ(VxSendCmdA("Q", nullptr), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(LastResponseText(), "");
  ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(VxSendCmdA("Q", ""), VX_E_NOT_CONNECTED);
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(VxGetLastResponseA(&length, &text), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(text, nullptr);
  // Without a connection.
  EXPECT_EQ(VxWaitFor(), VX_E_NOT_CONNECTED);
  EXPECT_EQ(VxCancelAll(), VX_E_NOT_CONNECTED);
  int32_t id = 5;
  EXPECT_EQ(VxGetRemoteProductId(&id), VX_E_NOT_CONNECTED);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(VxDisconnect(), 0);
}

TEST_F(Commands, ProductIdAndVersionAreAskedOncePerConnection) {
  auto version = [] {  // a new block each time, cut to 511 bytes
    char* v = nullptr;
    EXPECT_EQ(VxGetRemoteProductVersionA(&v), 0);
    const std::string s = v != nullptr ? v : "<null>";
    VxFreeA(v);
    return s;
  };
  EXPECT_EQ(version(), std::string(511, 'v'));
  EXPECT_EQ(version(), std::string(511, 'v'));
  VxWChar* w = nullptr;
  ASSERT_EQ(VxGetRemoteProductVersionW(&w), 0);
  EXPECT_EQ(std::vector<uint16_t>(w + 510, w + 512), (std::vector<uint16_t>{'v', 0}));
  VxFreeW(w);
  // Refused connects keep the cache; a new connection asks again.
  EXPECT_EQ(VxConnectA("127.0.0.1", port, 0, nullptr, nullptr), VX_E_ALREADY_CONNECTED);
  version();
  EXPECT_EQ(versionQueries, 1);
  VxDisconnect();
  EXPECT_EQ(VxConnectA("127.0.0.1", port, 1, nullptr, nullptr), VX_E_INVALID_PARAMETER);
  ASSERT_EQ(Connect(), 0);
  version();
  EXPECT_EQ(versionQueries, 2);
  // The id is the answer's leading number; 0 for none or a failed command.
  struct IdCase { int code; const char* text; int32_t id; };
  for (const IdCase& c : {IdCase{0, "1002", 1002}, IdCase{0, "", 0}, IdCase{0, "  -17xyz", -17}, IdCase{9, "1001", 0}}) {
    peer.SetResponder([c](const std::string& m) { return RetFrame(m == "EXE VxGetTypeViewer()\n" ? c.code : 8, c.text); });
    int32_t id = -1;
    ASSERT_EQ(VxGetRemoteProductId(&id), 0) << c.text;
    EXPECT_EQ(id, c.id) << c.text;
  }
  // An empty answer is an empty version, whatever the caller's stack held.
  peer.SetResponder([](const std::string&) { return RetFrame(0, ""); });
  VxDisconnect();
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(version(), "");
}

}  // namespace
}  // namespace vxtest
