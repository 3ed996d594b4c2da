// Command calls of a client session: frames on the wire, answers, product
// queries, language, and the latest response.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "api_fixture.h"

namespace {

using vxtest::ApiSession;
using vxtest::Bytes;
using vxtest::RetFrame;

TEST(Commands, WithoutAConnection) {
  EXPECT_EQ(VxSendCmdA("Move", "1"), VX_E_NOT_CONNECTED);
  uint32_t length = 7;
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(VxGetLastResponseA(&length, &text), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(VxWaitFor(), -3);
  EXPECT_EQ(VxCancelAll(), -3);
  int32_t id = 5;
  EXPECT_EQ(VxGetRemoteProductId(&id), -3);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(VxSendCmdA(nullptr, "x"), VX_E_INVALID_PARAMETER);
}

TEST_F(ApiSession, CommandFramesAreExact) {
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(VxSendCmdA("Move", "1,2"), 0);
  EXPECT_EQ(VxWaitFor(), 0);
  EXPECT_EQ(VxCancelAll(), 0);
  EXPECT_EQ(VxSendCmdA("VxGetTypeViewer", ""), 0);
  const std::string wire = viewer.RawReceived();
  EXPECT_EQ(wire, Bytes("\x0E\x00\x00\x00" "EXE Move(1,2)\n"
                        "\x0A\x00\x00\x00" "SYS FLUSH\n"
                        "\x0E\x00\x00\x00" "SYS CANCELALL\n"
                        "\x16\x00\x00\x00" "EXE VxGetTypeViewer()\n"));
}

TEST_F(ApiSession, AnswerTextIsKeptUntilTheNextCommand) {
  viewer.SetResponder([](const std::string&) { return RetFrame(0, "hello"); });
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(VxSendCmdA("Greet", ""), 0);
  uint32_t length = 0;
  char* text = nullptr;
  ASSERT_EQ(VxGetLastResponseA(&length, &text), 0);
  EXPECT_EQ(length, 5u);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, 6), Bytes("hello\0"));
  VxFreeA(text);
  // Not consumed: a second copy is the same.
  EXPECT_EQ(LastResponse(), "hello");
  VxWChar* wide = nullptr;
  ASSERT_EQ(VxGetLastResponseW(&length, &wide), 0);
  EXPECT_EQ(length, 5u);
  ASSERT_NE(wide, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(static_cast<uint16_t>(wide[i]), "hello"[i]);
  EXPECT_EQ(wide[5], 0);
  VxFreeW(wide);
}

TEST_F(ApiSession, AnswerOutcomesReachTheHost) {
  struct Case {
    std::string ret;
    int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {"RET 7,3,bad", 7, "bad"},
      {"RET 0,0,", 0, ""},
      {"RET x,1,a", VX_E_INVALID_RESPONSE, ""},
      {"RET -5,3,abc", VX_E_INVALID_RESPONSE, ""},
      {"RET 4,x,ab", 4, ""},
      {"RET 0,9,cut", 0, "cut"},
      {Bytes("RET 0,3,\xE9\0z"), 0, Bytes("\xE9\0z")},
  };
  size_t next = 0;
  viewer.SetResponder([&](const std::string&) { return vxtest::Frame(cases[next].ret); });
  ASSERT_EQ(Connect(), 0);
  for (next = 0; next < sizeof cases / sizeof cases[0]; ++next) {
    EXPECT_EQ(VxSendCmdA("Q", ""), cases[next].code) << cases[next].ret;
    EXPECT_EQ(LastResponse(), cases[next].text) << cases[next].ret;
  }
  // The last answer held 0xE9: the W copy sign-extends it.
  uint32_t length = 0;
  VxWChar* wide = nullptr;
  ASSERT_EQ(VxGetLastResponseW(&length, &wide), 0);
  ASSERT_EQ(length, 3u);
  EXPECT_EQ(static_cast<uint16_t>(wide[0]), 0xFFE9);
  EXPECT_EQ(static_cast<uint16_t>(wide[1]), 0x0000);
  EXPECT_EQ(static_cast<uint16_t>(wide[2]), 0x007A);
  VxFreeW(wide);
  // A failed command resets the latest response.
  VxDisconnect();
  EXPECT_EQ(VxSendCmdA("Q", ""), -3);
  EXPECT_EQ(LastResponse(), "");
}

TEST_F(ApiSession, LastVexaErrorMessageCopiesIntoTheCallersBuffer) {
  viewer.SetResponder([](const std::string&) { return RetFrame(12, "0123456789"); });
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(VxSendCmdA("Fail", ""), 12);
  char small[8];
  std::memset(small, 'x', sizeof small);
  int32_t size = 4;
  ASSERT_EQ(VxLastVexaErrorMessageA(small, &size), 0);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(std::string(small, 8), "0123xxxx");  // no terminator, nothing past 4
  char big[20];
  std::memset(big, 'x', sizeof big);
  size = 20;
  ASSERT_EQ(VxLastVexaErrorMessageA(big, &size), 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(std::string(big, 20), Bytes("0123456789\0\0\0\0\0\0\0\0\0\0"));
  size = 0;
  EXPECT_EQ(VxLastVexaErrorMessageA(big, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(size, 0);
  size = -3;
  EXPECT_EQ(VxLastVexaErrorMessageA(big, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(size, -3);
  EXPECT_EQ(VxLastVexaErrorMessageA(nullptr, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxLastVexaErrorMessageA(big, nullptr), VX_E_INVALID_PARAMETER);
}

TEST_F(ApiSession, ProductIdAndVersionAreAskedOncePerConnection) {
  std::atomic<int> versionQueries{0};
  std::string idText = "1002";
  const std::string longVersion(600, 'v');
  viewer.SetResponder([&](const std::string& m) {
    if (m == "EXE VxGetTypeViewer()\n") return RetFrame(0, idText);
    if (m == "EXE VxProductVersion()\n") {
      ++versionQueries;
      return RetFrame(0, longVersion);
    }
    return RetFrame(0, "");
  });
  ASSERT_EQ(Connect(), 0);
  int32_t id = -1;
  ASSERT_EQ(VxGetRemoteProductId(&id), 0);
  EXPECT_EQ(id, 1002);
  char* v1 = nullptr;
  char* v2 = nullptr;
  ASSERT_EQ(VxGetRemoteProductVersionA(&v1), 0);
  ASSERT_EQ(VxGetRemoteProductVersionA(&v2), 0);
  EXPECT_EQ(versionQueries, 1);
  ASSERT_NE(v1, nullptr);
  EXPECT_NE(v1, v2);  // a new block each time
  EXPECT_EQ(std::string(v1), std::string(511, 'v'));
  EXPECT_STREQ(v1, v2);
  VxFreeA(v1);
  VxFreeA(v2);
  VxWChar* w = nullptr;
  ASSERT_EQ(VxGetRemoteProductVersionW(&w), 0);
  EXPECT_EQ(versionQueries, 1);
  EXPECT_EQ(static_cast<uint16_t>(w[510]), 'v');
  EXPECT_EQ(w[511], 0);
  VxFreeW(w);
  // A second connect to the mode check empties the cache only for mode != 0.
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
  // An empty answer gives id 0.
  idText = "";
  ASSERT_EQ(VxGetRemoteProductId(&id), 0);
  EXPECT_EQ(id, 0);
  idText = "  -17xyz";
  ASSERT_EQ(VxGetRemoteProductId(&id), 0);
  EXPECT_EQ(id, -17);
}

TEST_F(ApiSession, AFailedProductIdCommandGivesZero) {
  viewer.SetResponder([](const std::string&) { return RetFrame(9, "1001"); });
  ASSERT_EQ(Connect(), 0);
  int32_t id = -1;
  EXPECT_EQ(VxGetRemoteProductId(&id), 0);
  EXPECT_EQ(id, 0);
}

TEST_F(ApiSession, LanguageChoice) {
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(VxSetLanguageA("sp"), VX_E_UNSUPPORTED_LANGUAGE);
  EXPECT_EQ(VxSetLanguageA("spain"), VX_E_UNSUPPORTED_LANGUAGE);
  EXPECT_EQ(VxSetLanguageA(nullptr), VX_E_UNSUPPORTED_LANGUAGE);
  EXPECT_EQ(VxSetLanguageW(nullptr), VX_E_UNSUPPORTED_LANGUAGE);
  EXPECT_EQ(VxSetLanguageA("spa"), 0);
  EXPECT_EQ(VxSetLanguageA("fra"), 0);  // unknown: the current language again
  const VxWChar cat[] = {'c', 'a', 't', 0};
  EXPECT_EQ(VxSetLanguageW(cat), 0);
  const auto got = Received(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "EXE VxSetLanguage('spa')\n");
  EXPECT_EQ(got[1], "EXE VxSetLanguage('spa')\n");
  EXPECT_EQ(got[2], "EXE VxSetLanguage('cat')\n");
  EXPECT_EQ(viewer.MessagesReceived(), 3u);  // the refused codes sent nothing
}

TEST_F(ApiSession, WideCommandsAreNarrowedByte) {
  ASSERT_EQ(Connect(), 0);
  const VxWChar name[] = {'P', 'r', 'i', 'c', 'e', 0};
  const VxWChar args[] = {0x20AC, '5', 0x00E9, 0};
  EXPECT_EQ(VxSendCmdW(name, args), 0);
  EXPECT_EQ(viewer.RawReceived(), Bytes("\x0F\x00\x00\x00" "EXE Price(\xAC" "5\xE9)\n"));
  EXPECT_EQ(VxSendCmdW(nullptr, args), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxSendCmdW(name, nullptr), VX_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(VxConnectW(nullptr, port, 0, nullptr, nullptr), VX_E_NOT_ENOUGH_MEMORY);
}

// Host threads that send at the same time each get their own answers and
// their own latest response; a thread that has sent nothing reads the
// latest answer of the process.
TEST_F(ApiSession, EachHostThreadGetsItsOwnAnswers) {
  ASSERT_EQ(Connect(), 0);
  for (const int threads : {2, 8}) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < threads; ++t) {
      hosts.emplace_back([t, &wrong] {
        for (int i = 0; i < 300; ++i) {
          const std::string tag = std::to_string(t) + "." + std::to_string(i);
          if (VxSendCmdA("Echo", tag.c_str()) != 0 ||
              LastResponse() != "ok:EXE Echo(" + tag + ")\n") {
            ++wrong;
          }
        }
      });
    }
    for (std::thread& h : hosts) h.join();
    EXPECT_EQ(wrong, 0) << threads << " threads";
  }
  std::thread([] { VxSendCmdA("Echo", "last"); }).join();
  std::string seen;
  std::thread([&seen] { seen = LastResponse(); }).join();
  EXPECT_EQ(seen, "ok:EXE Echo(last)\n");
}

TEST_F(ApiSession, AnAnswerThatCameUnaskedIsTakenByTheNextCommand) {
  viewer.SetResponder(nullptr);
  ASSERT_EQ(Connect(), 0);
  ASSERT_TRUE(viewer.SendRaw(RetFrame(3, "early")));
  vxtest::WaitUntil([] { return false; }, 50);
  EXPECT_EQ(VxSendCmdA("Late", ""), 3);
  EXPECT_EQ(LastResponse(), "early");
}

}  // namespace
