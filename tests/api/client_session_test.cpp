// A client session's life: connect, the viewer's calls into the host, lost
// connections, and commands that wait while the link goes.
#include <cstring>
#include <string>
#include <thread>

#include "host_fixture.h"

namespace vxtest {
namespace {

using Session = HostTest;

// Without a handler each call is answered OK and kept for VxRecvCmd, its
// texts cut to the record's fields and padded with spaces, in one queue
// that outlives the connection. Lost, the connection's BrokenHandler (slow
// here) runs once on its own thread, and the flag is raised after it; a
// disconnect then has nothing to close and does not wait for it. Ended by
// the host, the disconnect returns once the BrokenHandler has run.
TEST_F(Session, CallsWithoutAHandlerThenALostConnectionThenTheNext) {
  Log().brokenDelayMs = 300;
  ASSERT_EQ(Connect(nullptr, LogBroken), 0);
  EXPECT_EQ(Connect(), VX_E_ALREADY_CONNECTED);
  ASSERT_TRUE(peer.SendFrame("EXE Pick(3,4)\n"));
  ASSERT_TRUE(peer.SendFrame("EXE " + std::string(100, 'n') + "(" + std::string(600, 'a') + ")\n"));
  ASSERT_TRUE(peer.SendFrame("EXE Kept(1)\n"));
  EXPECT_EQ(Received(3).size(), 3u);
  EXPECT_EQ(peer.RawReceived(), Bytes("\x0A\x00\x00\x00" "RET 0,2,OK" "\x0A\x00\x00\x00" "RET 0,2,OK"
                                      "\x0A\x00\x00\x00" "RET 0,2,OK"));
  struct { CallRecord record[2]; char fence[16]; } g;
  std::memset(g.fence, 0x5A, sizeof g.fence);
  for (CallRecord& r : g.record) ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&r) != 0; }));
  EXPECT_EQ(std::string(g.record[0].name, 64), "Pick" + std::string(60, ' '));
  EXPECT_EQ(std::string(g.record[0].args, 512), "3,4" + std::string(509, ' '));
  EXPECT_EQ(std::string(g.record[1].name, 64), std::string(64, 'n'));
  EXPECT_EQ(std::string(g.record[1].args, 512), std::string(512, 'a'));
  EXPECT_EQ(std::string(g.fence, 16), std::string(16, '\x5A'));
  EXPECT_EQ(VxRecvCmd(nullptr), 0);
  peer.Close();
  ASSERT_TRUE(WaitUntil([] { return Log().brokenStarted == 1; }));
  EXPECT_EQ(VxDisconnect(), 0);  // at once: the BrokenHandler still sleeps
  EXPECT_EQ(Log().broken, 0);
  EXPECT_EQ(VxSendCmdA("X", ""), VX_E_NOT_CONNECTED);
  ASSERT_TRUE(WaitUntil([] { return VxIsConnectionBroken() != 0; }));
  EXPECT_EQ(Log().broken, 1);
  EXPECT_EQ(VxIsConnectionBroken(), 0);
  // Reconnect without a VxDisconnect in between, through the W twin. The
  // call kept from the first connection comes out before the new one's.
  const VxWChar host[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0};
  ASSERT_EQ(VxConnectW(host, port, 0, nullptr, LogBroken), 0);
  EXPECT_EQ(VxSendCmdA("Again", ""), 0);
  EXPECT_EQ(LastResponseText(), "ok:EXE Again()\n");
  ASSERT_TRUE(peer.SendFrame("SYS NEXT\n"));
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&g.record[0]) != 0; }));
  EXPECT_EQ(std::string(g.record[0].name, 5), "Kept ");
  ASSERT_TRUE(WaitUntil([&] { return VxRecvCmd(&g.record[0]) != 0; }));
  EXPECT_EQ(std::string(g.record[0].args, 5), "NEXT ");
  EXPECT_EQ(VxRecvCmd(g.record), 0);
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().broken, 2);  // its BrokenHandler has run, slow as it is
  EXPECT_EQ(VxIsConnectionBroken(), 1);
  EXPECT_TRUE(peer.WaitClosedByHost());
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_TRUE(ThreadsBackTo(threadsBefore));
  EXPECT_EQ(Log().broken, 2);
  EXPECT_EQ(VxConnectA("no-such-host.invalid", port, 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxConnectA("127.0.0.1", FreeLoopbackPort(), 0, nullptr, nullptr), VX_E_HOST_NOT_FOUND);
  EXPECT_EQ(VxConnectA(nullptr, port, 0, nullptr, nullptr), VX_E_INVALID_PARAMETER);
}

// The handler's answer reaches the viewer. Connection calls from inside a
// handler are refused with -1 before any other check: while connected, and
// after the host's disconnect has ended the connection (it waits for the
// handler to return). A handler's command is the process's latest response;
// on its own connection once ended it returns -6.
TEST_F(Session, TheHandlersAnswerAndConnectionCallsFromAHandler) {
  static std::atomic<int> rounds, wrong;
  rounds = wrong = 0;
  SetCallBehaviour([](const char* name, const char*, CallAnswer* answer) {
    static int (*const kCalls[])() = {
        [] { return VxConnectA("127.0.0.1", 1, 0, nullptr, nullptr); },
        [] { return VxConnectAsServer(1, 0); },
        [] { return VxAccept(); },
        [] { return VxLaunchAndConnect(VX_PRODUCT_AMBER, "127.0.0.1", 1, nullptr, nullptr); },
    };
    if (std::strcmp(name, "Long") == 0) {
      std::memset(answer->text, 'z', sizeof answer->text);  // no terminator: cut at 64
      return;
    }
    answer->code = 5;
    std::strcpy(answer->text, "nope");
    if (std::strcmp(name, "Outer") != 0) return;
    // Still connected: the host disconnects only once it saw rounds run.
    if (VxDisconnect() != VX_E_INVALID_PARAMETER) ++wrong;
    if (VxSendCmdA("Mine", "") != 0) ++wrong;
    for (int afterClose = 0; afterClose < 1000; ++rounds) {
      for (auto* call : kCalls) wrong += call() != VX_E_INVALID_PARAMETER;
      if (VxAvailableBytes() == -1) ++afterClose;
    }
    if (VxSendCmdA("Late", "") != VX_E_COMMUNICATION_BROKEN) ++wrong;
  });
  ASSERT_EQ(Connect(LogCall), 0);
  ASSERT_TRUE(peer.SendFrame("EXE Rotate(1,2)\n"));
  ASSERT_TRUE(peer.SendFrame("SYS FLUSH\n"));
  ASSERT_TRUE(peer.SendFrame("EXE Long()\n"));
  EXPECT_EQ(Received(3), (std::vector<std::string>{"RET 5,4,nope", "RET 5,4,nope",
                                                   "RET 0,64," + std::string(64, 'z')}));
  EXPECT_EQ(SeenCalls(), (std::vector<std::string>{"Rotate|1,2", "SYS|FLUSH", "Long|"}));
  ASSERT_TRUE(peer.SendFrame("EXE Outer()\n"));
  ASSERT_TRUE(WaitUntil([] { return rounds.load() > 10; }));
  std::string latest;  // on a thread that has sent no command
  std::thread([&latest] { latest = LastResponseText(); }).join();
  EXPECT_EQ(latest, "ok:EXE Mine()\n");
  EXPECT_EQ(VxDisconnect(), 0);
  EXPECT_EQ(Log().calls, 4);
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vxtest
