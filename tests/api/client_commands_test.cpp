// Command calls of a client session: frames on the wire, answers, product
// queries, language, and the latest response.
#include <cstring>
#include <thread>
#include <tuple>

#include "host_fixture.h"

namespace vxtest {
namespace {

using Commands = HostTest;

TEST(CommandsUnconnected, RefuseWithoutAConnection) {
  EXPECT_EQ(VxSendCmdA("Move", "1"), VX_E_NOT_CONNECTED);
  uint32_t length = 7;
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(VxGetLastResponseA(&length, &text), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(VxWaitFor(), VX_E_NOT_CONNECTED);
  EXPECT_EQ(VxCancelAll(), VX_E_NOT_CONNECTED);
  int32_t id = 5;
  EXPECT_EQ(VxGetRemoteProductId(&id), VX_E_NOT_CONNECTED);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(VxSendCmdA(nullptr, "x"), VX_E_INVALID_PARAMETER);
}

TEST_F(Commands, FramesAreExact) {
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(VxSendCmdA("Move", "1,2"), 0);
  EXPECT_EQ(VxWaitFor(), 0);
  EXPECT_EQ(VxCancelAll(), 0);
  EXPECT_EQ(VxSendCmdA("VxGetTypeViewer", ""), 0);
  // W texts are narrowed to their low byte.
  const VxWChar name[] = {'P', 'r', 'i', 'c', 'e', 0};
  const VxWChar args[] = {0x20AC, '5', 0x00E9, 0};
  EXPECT_EQ(VxSendCmdW(name, args), 0);
  EXPECT_EQ(peer.RawReceived(), Bytes("\x0E\x00\x00\x00" "EXE Move(1,2)\n"
                                      "\x0A\x00\x00\x00" "SYS FLUSH\n"
                                      "\x0E\x00\x00\x00" "SYS CANCELALL\n"
                                      "\x16\x00\x00\x00" "EXE VxGetTypeViewer()\n"
                                      "\x0F\x00\x00\x00" "EXE Price(\xAC" "5\xE9)\n"));
  EXPECT_EQ(VxSendCmdW(nullptr, args), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxSendCmdW(name, nullptr), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxConnectW(nullptr, port, 0, nullptr, nullptr), VX_E_NOT_ENOUGH_MEMORY);
}

TEST_F(Commands, AnswerTextIsKeptUntilTheNextCommand) {
  peer.SetResponder([](const std::string&) { return RetFrame(0, Bytes("he\0l\xE9")); });
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
  for (int copy = 0; copy < 2; ++copy) {  // not consumed: a second copy is the same
    uint32_t length = 0;
    char* text = nullptr;
    ASSERT_EQ(VxGetLastResponseA(&length, &text), 0);
    EXPECT_EQ(length, 5u);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, 6), Bytes("he\0l\xE9\0"));
    VxFreeA(text);
  }
  // The W copy widens by sign extension.
  uint32_t length = 0;
  VxWChar* wide = nullptr;
  ASSERT_EQ(VxGetLastResponseW(&length, &wide), 0);
  ASSERT_EQ(length, 5u);
  const uint16_t expected[] = {'h', 'e', 0, 'l', 0xFFE9, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(static_cast<uint16_t>(wide[i]), expected[i]) << i;
  VxFreeW(wide);
  // A failed command resets the latest response.
  for (const char* args : {static_cast<const char*>(nullptr), ""}) {
    ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
    if (args != nullptr) VxDisconnect();
    EXPECT_EQ(VxSendCmdA("Q", args), args == nullptr ? VX_E_INVALID_PARAMETER : VX_E_NOT_CONNECTED);
    EXPECT_EQ(LastResponseText(), "");
  }
}

TEST_F(Commands, LastVexaErrorMessageCopiesIntoTheCallersBuffer) {
  peer.SetResponder([](const std::string&) { return RetFrame(12, "0123456789"); });
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(VxSendCmdA("Fail", ""), 12);
  char buffer[20];
  std::memset(buffer, 'x', sizeof buffer);
  int32_t size = 4;
  ASSERT_EQ(VxLastVexaErrorMessageA(buffer, &size), 0);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(std::string(buffer, 8), "0123xxxx");  // no terminator, nothing past 4
  size = 11;
  ASSERT_EQ(VxLastVexaErrorMessageA(buffer, &size), 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(std::string(buffer, 12), Bytes("0123456789\0x"));
  for (const int32_t bad : {0, -3}) {
    size = bad;
    EXPECT_EQ(VxLastVexaErrorMessageA(buffer, &size), VX_E_INVALID_PARAMETER);
    EXPECT_EQ(size, bad);
  }
  EXPECT_EQ(VxLastVexaErrorMessageA(nullptr, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxLastVexaErrorMessageA(buffer, nullptr), VX_E_INVALID_PARAMETER);
}

TEST_F(Commands, ProductIdAndVersionAreAskedOncePerConnection) {
  std::atomic<int> versionQueries{0};
  std::string idText = "1002";
  int idCode = 0;
  peer.SetResponder([&](const std::string& m) {
    if (m == "EXE VxGetTypeViewer()\n") return RetFrame(idCode, idText);
    if (m == "EXE VxProductVersion()\n") ++versionQueries;
    return RetFrame(0, std::string(600, 'v'));
  });
  ASSERT_EQ(Connect(), 0);
  int32_t id = -1;
  ASSERT_EQ(VxGetRemoteProductId(&id), 0);
  EXPECT_EQ(id, 1002);
  char *v1 = nullptr, *v2 = nullptr;
  ASSERT_EQ(VxGetRemoteProductVersionA(&v1), 0);
  ASSERT_EQ(VxGetRemoteProductVersionA(&v2), 0);
  EXPECT_NE(v1, v2);  // a new block each time
  EXPECT_EQ(std::string(v1), std::string(511, 'v'));
  EXPECT_STREQ(v1, v2);
  VxFreeA(v1);
  VxFreeA(v2);
  VxWChar* w = nullptr;
  ASSERT_EQ(VxGetRemoteProductVersionW(&w), 0);
  EXPECT_EQ(static_cast<uint16_t>(w[510]), 'v');
  EXPECT_EQ(w[511], 0);
  VxFreeW(w);
  EXPECT_EQ(versionQueries, 1);
  // Refused connects keep the cache; a new connection asks again.
  EXPECT_EQ(VxConnectA("127.0.0.1", port, 0, nullptr, nullptr), VX_E_ALREADY_CONNECTED);
  ASSERT_EQ(VxGetRemoteProductVersionA(&v1), 0);
  VxFreeA(v1);
  EXPECT_EQ(versionQueries, 1);
  VxDisconnect();
  EXPECT_EQ(VxConnectA("127.0.0.1", port, 1, nullptr, nullptr), VX_E_INVALID_PARAMETER);
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(VxGetRemoteProductVersionA(&v1), 0);
  VxFreeA(v1);
  EXPECT_EQ(versionQueries, 2);
  // The id is the answer's leading number; 0 for none or a failed command.
  struct IdCase {
    int code;
    const char* text;
    int32_t id;
  };
  for (const IdCase& c : {IdCase{0, "", 0}, IdCase{0, "  -17xyz", -17}, IdCase{9, "1001", 0}}) {
    std::tie(idCode, idText, id) = std::make_tuple(c.code, c.text, -1);
    ASSERT_EQ(VxGetRemoteProductId(&id), 0) << c.text;
    EXPECT_EQ(id, c.id) << c.text;
  }
}

TEST_F(Commands, LanguageChoice) {
  ASSERT_EQ(Connect(), 0);
  for (const char* refused : {"sp", "spain", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(VxSetLanguageA(refused), VX_E_UNSUPPORTED_LANGUAGE);
  }
  EXPECT_EQ(VxSetLanguageW(nullptr), VX_E_UNSUPPORTED_LANGUAGE);
  const VxWChar cat[] = {'c', 'a', 't', 0};
  EXPECT_EQ(VxSetLanguageA("spa"), 0);
  EXPECT_EQ(VxSetLanguageA("eng"), 0);
  EXPECT_EQ(VxSetLanguageW(cat), 0);
  EXPECT_EQ(VxSetLanguageA("fra"), 0);  // unknown: the current language again
  EXPECT_EQ(Received(4), (std::vector<std::string>{"EXE VxSetLanguage('spa')\n", "EXE VxSetLanguage('eng')\n",
                                                   "EXE VxSetLanguage('cat')\n", "EXE VxSetLanguage('cat')\n"}));
  EXPECT_EQ(peer.MessagesReceived(), 4u);  // the refused codes sent nothing
}

// Host threads that send at the same time each get their own answers and
// their own latest response; a thread that has sent nothing reads the
// latest answer of the process.
TEST_F(Commands, EachHostThreadGetsItsOwnAnswers) {
  ASSERT_EQ(Connect(), 0);
  std::atomic<int> wrong{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 8; ++t) {
    hosts.emplace_back([t, &wrong] {
      for (int i = 0; i < 300; ++i) {
        const std::string tag = std::to_string(t) + "." + std::to_string(i);
        if (VxSendCmdA("Echo", tag.c_str()) != 0 || LastResponseText() != "ok:EXE Echo(" + tag + ")\n") ++wrong;
      }
    });
  }
  for (std::thread& h : hosts) h.join();
  EXPECT_EQ(wrong, 0);
  std::thread([] { VxSendCmdA("Echo", "last"); }).join();
  std::string seen;
  std::thread([&seen] { seen = LastResponseText(); }).join();
  EXPECT_EQ(seen, "ok:EXE Echo(last)\n");
}

}  // namespace
}  // namespace vxtest
