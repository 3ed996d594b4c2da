// Semaphores, worker threads, thread slots and the trace's output.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#ifndef _WIN32
#include <csignal>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "platform/sync.h"
#include "messaging/thread_base.h"
#include "test_support.h"

namespace {

namespace plat = vxb::plat;

TEST(Semaphore, CountsUpToItsMaximumAndWakesAWaiter) {
  vxb::Semaphore s;
  EXPECT_FALSE(s.WaitOne(0));
  for (int i = 0; i < vxb::Semaphore::kMaximum; ++i) ASSERT_TRUE(s.Release()) << i;
  EXPECT_FALSE(s.Release());
  EXPECT_TRUE(s.WaitOne(0));
  EXPECT_TRUE(s.Release());
  s.Drain();
  EXPECT_FALSE(s.WaitOne(10));

  std::atomic<bool> woke{false};
  std::thread t([&] { woke = s.WaitOne(); });
  s.Release();
  t.join();
  EXPECT_TRUE(woke);
}

class Worker : public vxb::ThreadBase {
 public:
  ~Worker() override { Wait(); }
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};

 protected:
  void Run() override {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++runs;
  }
};

TEST(ThreadBase, WaitReturnsOnceRunEndsOrAtOnceWithoutAThread) {
  Worker w;
  w.Wait();
  EXPECT_EQ(w.runs, 0);
  w.Start();
  std::atomic<bool> waited{false};
  std::thread t([&] {
    w.Wait();
    waited = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(waited);
  w.release = true;
  t.join();
  EXPECT_EQ(w.runs, 1);
  w.Wait();  // a second wait has nothing left to join
  // Starting again first waits for the earlier thread, keeping its handle.
  w.Start();
  w.Start();
  w.Wait();
  EXPECT_EQ(w.runs, 3);
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
#endif

}  // namespace
