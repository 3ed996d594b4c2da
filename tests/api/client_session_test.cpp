// A client session's life: connect, the viewer's calls into the host, lost
// connections, and commands that wait while the link goes.
#include <cstring>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

using Session = HostTest;

TEST_F(Session, TheHandlersAnswerReachesTheViewer) {
  SetCallBehaviour([](const char* name, const char*, CallAnswer* answer) {
    if (std::strcmp(name, "Long") == 0) {
      std::memset(answer->text, 'z', sizeof answer->text);  // no terminator: cut at 64
      return;
    }
    answer->code = 5;
    std::strcpy(answer->text, "nope");
  });
  ASSERT_EQ(Connect(LogCall), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Rotate(1,2)\n"));
  ASSERT_TRUE(peer.SendFrame("SYS FLUSH\n"));
  ASSERT_TRUE(peer.SendFrame("EXE Long()\n"));
  EXPECT_EQ(Received(3), (std::vector<std::string>{"RET 5,4,nope", "RET 5,4,nope",
                                                   "RET 0,64," + std::string(64, 'z')}));
  EXPECT_EQ(SeenCalls(), (std::vector<std::string>{"Rotate|1,2", "SYS|FLUSH", "Long|"}));
}

// Without a handler each call is answered OK and kept for VxRecvCmd, its
// texts cut to the record's fields and padded with spaces.
TEST_F(Session, WithoutAHandlerCallsAreKeptForRecvCmd) {
  ASSERT_EQ(Connect(), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Pick(3,4)\n"));
  ASSERT_TRUE(peer.SendFrame("EXE " + std::string(100, 'n') + "(" + std::string(600, 'a') + ")\n"));
  EXPECT_EQ(Received(2).size(), 2u);
  EXPECT_EQ(peer.RawReceived(), Bytes("\x0A\x00\x00\x00" "RET 0,2,OK" "\x0A\x00\x00\x00" "RET 0,2,OK"));
  struct Guarded {
    CallRecord record;
    char fence[16];
  } g;
  std::memset(g.fence, 0x5A, sizeof g.fence);
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&g.record) != 0; }));
  EXPECT_EQ(std::string(g.record.name, 64), "Pick" + std::string(60, ' '));
  EXPECT_EQ(std::string(g.record.args, 512), "3,4" + std::string(509, ' '));
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&g.record) != 0; }));
  EXPECT_EQ(std::string(g.record.name, 64), std::string(64, 'n'));
  EXPECT_EQ(std::string(g.record.args, 512), std::string(512, 'a'));
  EXPECT_EQ(std::string(g.fence, 16), std::string(16, '\x5A'));
  EXPECT_EQ(VxRecvCmd(&g.record), 0);
  EXPECT_EQ(VxRecvCmd(nullptr), 0);
}

TEST_F(Session, ALostConnectionIsReportedOnceAndTheNextConnectWorks) {
  Log().brokenDelayMs = 100;
  ASSERT_EQ(Connect(nullptr, LogBroken), 0);
  peer.Close();
  ASSERT_TRUE(WaitUntil([] { return Log().broken.load() == 1; }));
  // Raised just after the BrokenHandler returns, then reported once.
  ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
  EXPECT_EQ(VxIsConnectionBroken(), 0);
  EXPECT_EQ(VxSendCmdA("X", ""), VX_E_NOT_CONNECTED);
  // Reconnect without a VxDisconnect in between.
  ASSERT_EQ(Connect(nullptr, LogBroken), 0);
  EXPECT_EQ(VxSendCmdA("Again", ""), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Again()\n");
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 2);
}

TEST_F(Session, DisconnectReturnsAfterTheBrokenHandlerRan) {
  Log().brokenDelayMs = 100;
  ASSERT_EQ(Connect(nullptr, LogBroken), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_TRUE(peer.WaitClosedByHost());
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 1);
}

TEST_F(Session, ConnectChecks) {
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(Connect(), VX_E_ALREADY_CONNECTED);
  VxDisconnect();
  EXPECT_EQ(VxConnectA("no-such-host.invalid", port, 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxConnectA("127.0.0.1", FreeLoopbackPort(), 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxConnectA(nullptr, port, 0, nullptr, nullptr), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxDisconnect(), 0);
  const VxWChar host[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0};
  EXPECT_EQ(VxConnectW(host, port, 0, nullptr, nullptr), 0);
}

// A command waiting when the viewer closes, resets, or the host disconnects
// from another thread returns -6; the end is not taken for the answer of
// the next connection's command.
TEST_F(Session, ACommandWaitingWhenTheLinkGoesReturnsMinus6) {
  peer.SetResponder([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return RetFrame(0, "fresh");
  });
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how);
    ScriptPeer silent;
    const uint16_t p = silent.Listen();
    silent.Run([how](TestPeer& v) {
      std::string m;
      if (!v.Accept() || !v.NextMessage(&m)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (how == 0) v.Close();
      if (how == 1) v.Reset();
      if (how == 2) VxDisconnect();
    });
    ASSERT_EQ(VxConnectA("127.0.0.1", p, 0, nullptr, nullptr), 0);
    EXPECT_EQ(VxSendCmdA("Wait", ""), VX_E_COMMUNICATION_BROKEN);
    silent.Join();
    EXPECT_EQ(LastResponseText(), "");
    ASSERT_EQ(Connect(), 0);
    EXPECT_EQ(VxSendCmdA("Next", ""), 0);
    EXPECT_EQ(LastResponseText(), "fresh");
    VxDisconnect();
  }
}

// Connection calls from inside a handler: -1 before any other check; they
// would wait for the thread they run on. Checked while connected, and for a
// while after the host's disconnect has closed the link.
TEST_F(Session, ConnectionCallsFromAHandlerAreRefused) {
  static std::atomic<int> rounds{0};
  static std::vector<std::string> wrong;  // written by the handler alone
  rounds = 0;
  wrong.clear();
  SetCallBehaviour([](const char*, const char*, CallAnswer*) {
    struct Refusal {
      const char* name;
      int (*call)();
    };
    static const Refusal kRefusals[] = {
        {"ConnectA", [] { return VxConnectA("127.0.0.1", 1, 0, nullptr, nullptr); }},
        {"ConnectAsServer", [] { return VxConnectAsServer(1, 0); }},
        {"Accept", [] { return VxAccept(); }},
        {"LaunchAndConnect",
         [] { return VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr); }},
    };
    // Still connected: the host disconnects only once it saw the handler run.
    if (const int rc = VxDisconnect(); rc != VX_E_INVALID_PARAMETER) {
      wrong.push_back("Disconnect=" + std::to_string(rc));
    }
    for (int afterClose = 0; afterClose < 1000;) {
      for (const Refusal& r : kRefusals) {
        if (const int rc = r.call(); rc != VX_E_INVALID_PARAMETER) {
          wrong.push_back(std::string(r.name) + "=" + std::to_string(rc));
        }
      }
      ++rounds;
      if (VxAvailableBytes() == -1) ++afterClose;
    }
  });
  ASSERT_EQ(Connect(LogCall), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Outer()\n"));
  ASSERT_TRUE(WaitUntil([] { return rounds.load() > 10; }));
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().calls, 1);
  EXPECT_TRUE(wrong.empty()) << wrong.front();
}

}  // namespace
}  // namespace vxtest
