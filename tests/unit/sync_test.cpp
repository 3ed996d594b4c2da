// Locks, semaphores, worker threads and the response signal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
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
  vxb::RecvBuffer answer;
  r.PostResponse(vxb::RecvBuffer());
  EXPECT_EQ(r.Wait(&answer), 0);
}

TEST(ResponseSignal, BrokenWakesEveryWaiterWithMinus6) {
  vxb::ResponseSignal r;
  std::atomic<int> a{1}, b{1};
  std::thread t1([&] {
    vxb::RecvBuffer answer;
    a = r.Wait(&answer);
  });
  std::thread t2([&] {
    vxb::RecvBuffer answer;
    b = r.Wait(&answer);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  r.PostBroken();
  t1.join();
  t2.join();
  EXPECT_EQ(a, -6);
  EXPECT_EQ(b, -6);
}

TEST(ResponseSignal, AnswersBeforeTheBreakAreStillDelivered) {
  vxb::ResponseSignal r;
  vxb::RecvBuffer answer;
  r.PostResponse(vxb::RecvBuffer());
  r.PostBroken();
  EXPECT_EQ(r.Wait(&answer), 0);
  EXPECT_EQ(r.Wait(&answer), -6);
}

TEST(ResponseSignal, ResetForgetsTheOldConnection) {
  vxb::ResponseSignal r;
  vxb::RecvBuffer answer;
  r.PostResponse(vxb::RecvBuffer());
  r.PostBroken();
  r.Reset();
  std::atomic<int> rc{1};
  std::thread t([&] { rc = r.Wait(&answer); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(rc, 1);  // still waiting: nothing of the old connection counts
  r.PostResponse(vxb::RecvBuffer());
  t.join();
  EXPECT_EQ(rc, 0);
}

TEST(ResponseSignal, MoreAnswersThanTheSemaphoreCountsAreKept) {
  vxb::ResponseSignal r;
  vxb::RecvBuffer answer;
  for (int i = 0; i < 6000; ++i) r.PostResponse(vxb::RecvBuffer());
  for (int i = 0; i < 6000; ++i) ASSERT_EQ(r.Wait(&answer), 0) << i;
}

}  // namespace

namespace {

// Answers are handed over as blocks: the one a command holds is never the
// block the reader reads into next, and given-back blocks are reused.
TEST(ResponseSignal, AnswerBlocksAreHandedOverAndReused) {
  vxb::ResponseSignal r;
  auto block = [](const char* text) {
    vxb::RecvBuffer b;
    b.capacity = 64;
    b.data = static_cast<uint8_t*>(vxb::plat::AllocBlock(b.capacity));
    b.used = static_cast<uint32_t>(std::strlen(text));
    std::memcpy(b.data, text, b.used);
    return b;
  };
  EXPECT_EQ(r.TakeSpare().data, nullptr);
  const vxb::RecvBuffer first = block("RET 0,1,a");
  ASSERT_TRUE(r.PostResponse(first));
  ASSERT_TRUE(r.PostResponse(block("RET 0,1,b")));
  vxb::RecvBuffer held;
  ASSERT_EQ(r.Wait(&held), 0);
  EXPECT_EQ(held.data, first.data);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(held.data), held.used), "RET 0,1,a");
  r.GiveSpare(held);
  const vxb::RecvBuffer spare = r.TakeSpare();
  EXPECT_EQ(spare.data, first.data);
  EXPECT_EQ(spare.used, 0u);
  vxb::plat::FreeBlock(spare.data);
  vxb::RecvBuffer second;
  ASSERT_EQ(r.Wait(&second), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(second.data), second.used), "RET 0,1,b");
  vxb::plat::FreeBlock(second.data);
}

}  // namespace
