// Locks, semaphores and worker threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"
#include "messaging/thread_base.h"
#include "test_support.h"

namespace {

TEST(Semaphore, CountsUpToItsMaximum) {
  vxb::Semaphore s;
  EXPECT_FALSE(s.WaitOne(0));
  for (int i = 0; i < vxb::Semaphore::kMaximum; ++i) ASSERT_TRUE(s.Release()) << i;
  EXPECT_FALSE(s.Release());  // at 5000 the release fails
  for (int i = 0; i < vxb::Semaphore::kMaximum; ++i) ASSERT_TRUE(s.WaitOne(0)) << i;
  EXPECT_FALSE(s.WaitOne(10));
}

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
  vxb::Semaphore s;
  std::atomic<bool> woke{false};
  std::thread t([&] {
    EXPECT_TRUE(s.WaitOne());
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke);
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

TEST(ThreadBase, WaitWithoutThreadAndTwiceReturnsAtOnce) {
  Worker w;
  w.Wait();
  w.Wait();
  EXPECT_EQ(w.runs, 0);
}

TEST(ThreadBase, WaitBlocksUntilRunEnds) {
  Worker w;
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
}

TEST(ThreadBase, StartAgainWaitsForTheEarlierThread) {
  Worker w;
  w.release = true;
  w.Start();
  w.Start();  // must not lose the first thread's handle
  w.Wait();
  EXPECT_EQ(w.runs, 2);
}

TEST(ThreadBase, DestructorWaitsForTheThread) {
  std::atomic<int>* runs = nullptr;
  auto* w = new Worker;
  runs = &w->runs;
  w->Start();
  std::thread releaser([w] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    w->release = true;
  });
  EXPECT_EQ(runs->load(), 0);
  delete w;  // returns only after Run has finished
  releaser.join();
}

}  // namespace

namespace {

std::atomic<int> g_slotReports{0};
std::atomic<void*> g_slotReported{nullptr};

// A thread's value is reported on that thread's end, once; a thread that set
// nothing reports nothing, and destroying the slot reports nothing either.
TEST(ThreadSlot, ReportsTheValueOfAThreadThatEnds) {
  namespace plat = vxb::plat;
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

}  // namespace
