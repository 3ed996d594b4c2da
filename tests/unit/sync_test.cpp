// Waits with deadlines, thread slots and the trace's output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#ifndef _WIN32
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "platform/sync.h"
#include "test_peer.h"
#include "test_support.h"

namespace {

namespace plat = vxb::plat;

// A wait whose deadline has passed says so at once, with the lock held and
// nothing waited for; one that still has time sleeps until its predicate
// holds, or until the deadline and never less (a deadline is rounded up to
// the next whole millisecond); one without a deadline waits for its
// predicate alone.
TEST(CondVar, AwaitReturnsThePredicateAndNeverEndsEarly) {
  vxb::Lock lock;
  vxb::CondVar cv;
  bool ready = false;
  int asked = 0;
  vxb::Guard g(lock);
  const vxb::Deadline passed{plat::MonotonicMs() - 1};
  EXPECT_EQ(passed.LeftMs(), 0u);
  EXPECT_FALSE(cv.Await(lock, passed, [&] { ++asked; return false; }));
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(cv.Await(lock, passed, [] { return true; }));
  for (uint32_t ms : {0u, 1u, 30u}) {
    const auto start = std::chrono::steady_clock::now();
    const vxb::Deadline d = vxb::Deadline::In(ms);
    EXPECT_GE(d.at, plat::MonotonicMs() + ms);
    EXPECT_FALSE(cv.Await(lock, d, [] { return false; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
  EXPECT_EQ(vxb::Deadline::In(plat::kInfinite).LeftMs(), plat::kInfinite);
  std::thread setter([&] {
    plat::SleepMs(20);
    vxb::Guard s(lock);
    ready = true;
    cv.Signal();
  });
  EXPECT_TRUE(cv.Await(lock, vxb::Deadline{}, [&] { return ready; }));
  setter.join();  // it let go of the lock before Await could take it back
}

std::atomic<int> g_slotReports{0};
std::atomic<void*> g_slotReported{nullptr};

// A thread's value is reported on that thread's end, once; a thread that set
// nothing reports nothing, and destroying the slot reports nothing either.
TEST(ThreadSlot, ReportsTheValueOfAThreadThatEnds) {
  plat::ThreadSlotImpl* slot = plat::ThreadSlotCreate([](void* value) {
    ++g_slotReports;
    g_slotReported = value;
  });
  ASSERT_NE(slot, nullptr);
  int mine = 0;
  int kept = 0;
  std::thread([&] {
    EXPECT_EQ(plat::ThreadSlotGet(slot), nullptr);
    EXPECT_TRUE(plat::ThreadSlotSet(slot, &mine));
    EXPECT_EQ(plat::ThreadSlotGet(slot), &mine);
  }).join();
  EXPECT_EQ(g_slotReports, 1);
  EXPECT_EQ(g_slotReported, &mine);
  std::thread([] {}).join();
  EXPECT_TRUE(plat::ThreadSlotSet(slot, &kept));
  plat::ThreadSlotDestroy(slot);
  EXPECT_EQ(g_slotReports, 1);
}

#ifndef _WIN32
// A trace line to a standard error whose reader is gone fails; it must not
// kill the host with SIGPIPE, nor leave SIGPIPE blocked on the thread.
TEST(Output, AWriteToAPipeWithoutReaderFailsQuietly) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  const bool wrote = plat::OutputWrite(plat::OutputStandardError(), "x\n", 2);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fds[1]);
  EXPECT_FALSE(wrote);
  sigset_t now;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
  EXPECT_EQ(sigismember(&now, SIGPIPE), 0);
}

// A host that closed its standard error may find a socket under that
// number, possibly the library's own connection: a trace line written there
// would reach the viewer as bytes of the stream.
TEST(Output, StandardErrorThatIsANetworkSocketIsNotWrittenTo) {
  vxtest::TestPeer peer;
  const plat::Socket s = plat::TcpSocket();
  ASSERT_EQ(plat::Connect(s, reinterpret_cast<const uint8_t*>("\x7f\0\0\x01"), peer.Listen()), 0);
  ASSERT_TRUE(peer.WaitConnected());
  const int saved = dup(STDERR_FILENO);
  dup2(static_cast<int>(s), STDERR_FILENO);
  const bool wrote = plat::OutputWrite(plat::OutputStandardError(), "x\n", 2);
  dup2(saved, STDERR_FILENO);
  close(saved);
  plat::CloseSocket(s);
  EXPECT_FALSE(wrote);
  EXPECT_TRUE(peer.WaitClosedByHost());
  EXPECT_EQ(peer.RawReceived(), "");
}
#endif

}  // namespace
