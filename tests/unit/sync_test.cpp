// Locks, semaphores, worker threads and the response signal.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "messaging/response_signal.h"
#include "messaging/sync.h"
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

TEST(ResponseSignal, AnAnswerReadBeforeTheWaitSatisfiesItAtOnce) {
  vxb::ResponseSignal r;
  r.PostResponse();
  EXPECT_EQ(r.Wait(), 0);
}

TEST(ResponseSignal, BrokenWakesEveryWaiterWithMinus6) {
  vxb::ResponseSignal r;
  std::atomic<int> a{1}, b{1};
  std::thread t1([&] { a = r.Wait(); });
  std::thread t2([&] { b = r.Wait(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  r.PostBroken();
  t1.join();
  t2.join();
  EXPECT_EQ(a, -6);
  EXPECT_EQ(b, -6);
}

TEST(ResponseSignal, AnswersBeforeTheBreakAreStillDelivered) {
  vxb::ResponseSignal r;
  r.PostResponse();
  r.PostBroken();
  EXPECT_EQ(r.Wait(), 0);
  EXPECT_EQ(r.Wait(), -6);
}

TEST(ResponseSignal, ResetForgetsTheOldConnection) {
  vxb::ResponseSignal r;
  r.PostResponse();
  r.PostBroken();
  r.Reset();
  std::atomic<int> rc{1};
  std::thread t([&] { rc = r.Wait(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(rc, 1);  // still waiting: nothing of the old connection counts
  r.PostResponse();
  t.join();
  EXPECT_EQ(rc, 0);
}

TEST(ResponseSignal, MoreAnswersThanTheSemaphoreCountsAreKept) {
  vxb::ResponseSignal r;
  for (int i = 0; i < 6000; ++i) r.PostResponse();
  for (int i = 0; i < 6000; ++i) ASSERT_EQ(r.Wait(), 0) << i;
}

}  // namespace
