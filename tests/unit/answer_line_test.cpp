// The pairing of answers with commands by the order on the wire, and the
// bounds on what a viewer can make the library hold.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "failing_new.h"
#include "messaging/answer_line.h"
#include "messaging/held_calls.h"
#include "messaging/kept_calls.h"
#include "messaging/last_answers.h"
#include "messaging/petition_buffer.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "test_support.h"

namespace {

using vxb::Answer;
using vxb::AnswerLine;
using vxb::Waiter;

// Every answer and block goes back: once the line and its pool are gone,
// the heap holds what it held before. The slack covers the allocator's own
// caches of small freed chunks.
struct HeapBalance {
  const size_t before = vxtest::HeapInUse();
  ~HeapBalance() { EXPECT_LE(vxtest::HeapInUse(), before + 4096) << "answers or blocks were not given back"; }
};

// A pool for one test, retired at its end.
struct Pool {
  vxb::AnswerPool* pool = vxb::AnswerPool::Create();
  ~Pool() { pool->Retire(); }
  // An answer as the reader makes it: text read into a block of the usual
  // size.
  Answer* Make(const std::string& text) {
    Answer* a = pool->Take();
    EXPECT_EQ(vxb::EnsureCapacity(a->block, vxb::RecvBuffer::kInitialCapacity), 0);
    std::memcpy(a->block.data, text.data(), text.size());
    a->block.used = static_cast<uint32_t>(text.size());
    a->text = a->block.data;
    a->length = a->block.used;
    a->code = 0;
    return a;
  }
};

// What a settled waiter got: the answer's text, or "<result>"; "-" while
// it still waits.
std::string Got(Waiter& w) {
  if (!w.done) return "-";
  std::string got = w.result == 0 ? std::string(reinterpret_cast<const char*>(w.answer->text), w.answer->length)
                                  : "<" + std::to_string(w.result) + ">";
  vxb::LetGo(w.answer);
  w.answer = nullptr;
  return got;
}

// Steps: a digit enqueues that waiter, a letter is a RET read with that
// text, "!" ends the line (-6). The k-th RET answers the k-th message,
// whoever sent it and whenever it came.
TEST(AnswerLine, PairsTheKthAnswerWithTheKthMessage) {
  const struct {
    const char* steps;
    std::vector<std::string> expected;  // per waiter 0, 1, 2
    int woken;                          // waiters the end settled
  } cases[] = {
      {"012abc", {"a", "b", "c"}, 0},
      {"0a1b2c", {"a", "b", "c"}, 0},
      {"01ba2c", {"b", "a", "c"}, 0},     // texts do not matter, order does
      {"ab012c", {"a", "b", "c"}, 0},     // answered ahead: kept for the next messages
      {"0a12b!", {"a", "b", "<-6>"}, 1},  // the end settles who still waits
      {"a!012", {"-", "-", "-"}, 0},      // an ended line keeps nothing for later
  };
  HeapBalance balance;
  for (const auto& c : cases) {
    Pool pool;
    AnswerLine line;
    Waiter w[3];
    int woken = 0;
    for (const char* p = c.steps; *p != 0; ++p) {
      if (*p >= '0' && *p <= '2') {
        line.Enqueue(&w[*p - '0']);
      } else if (*p == '!') {
        line.FailAll(-6, [](void* n, Waiter*) { ++*static_cast<int*>(n); }, &woken);
      } else {
        const Waiter* settled = line.Deliver(pool.Make(std::string(1, *p)));
        EXPECT_TRUE(settled == nullptr || settled->done);
      }
    }
    std::vector<std::string> got;
    for (Waiter& each : w) got.push_back(Got(each));
    EXPECT_EQ(got, c.expected) << c.steps;
    EXPECT_EQ(woken, c.woken) << c.steps;
    line.FailAll(-6, [](void*, Waiter*) {}, nullptr);
  }
}

TEST(AnswerLine, UnaskedAnswersAreLimitedByTheirBlocks) {
  // Tiny answers in blocks of the usual size: the limit counts the blocks,
  // not the few bytes in them, and the oldest go first.
  HeapBalance balance;
  Pool pool;
  AnswerLine line;
  constexpr int kPosted = 6000;
  for (int i = 0; i < kPosted; ++i) EXPECT_EQ(line.Deliver(pool.Make(std::to_string(i))), nullptr);
  const size_t kept = AnswerLine::kMaximumWaitingBytes / (4048 + AnswerLine::kAnswerOverhead);
  EXPECT_LE(line.UnaskedBytes(), AnswerLine::kMaximumWaitingBytes);
  Waiter w;
  line.Enqueue(&w);
  EXPECT_EQ(Got(w), std::to_string(kPosted - kept));
  line.FailAll(-6, [](void*, Waiter*) {}, nullptr);
  EXPECT_EQ(line.UnaskedBytes(), 0u);
}

// One queue for the process, in arrival order: a client's calls outlive
// their connection (spaces after each text); a server's go with their
// viewer (zeros after each text), and each one the host takes is owed an
// answer, oldest first.
TEST(KeptCalls, OneQueueAndTheAnswersOwedInServerMode) {
  vxb::KeptCalls kept;
  auto call = [](const char* name) {
    vxb::IncomingMessage m;
    m.kind = vxb::Call;
    m.name = name;
    m.args = "1,2";
    return m;
  };
  ASSERT_TRUE(kept.Keep(call("Client"), 7, false));
  ASSERT_TRUE(kept.Keep(call("Gone"), 8, true));
  ASSERT_TRUE(kept.Keep(call("Taken"), 8, true));
  ASSERT_TRUE(kept.Keep(call("Live"), 9, true));
  CallRecord r;
  ASSERT_TRUE(kept.Take(&r));
  EXPECT_EQ(std::string(r.name, 8), "Client  ");
  EXPECT_EQ(std::string(r.args, 5), std::string("1,2  "));
  EXPECT_EQ(kept.SettleOldestOwed(), 0u);  // a client's call is answered already
  ASSERT_TRUE(kept.Take(&r));
  EXPECT_EQ(std::string(r.name, 6), std::string("Gone\0\0", 6));
  kept.DropOf(8);  // "Taken" goes with its viewer, what was taken stays owed
  ASSERT_TRUE(kept.Take(&r));
  EXPECT_STREQ(r.name, "Live");
  EXPECT_FALSE(kept.Take(&r));
  EXPECT_EQ(kept.SettleOldestOwed(), 8u);
  EXPECT_EQ(kept.SettleOldestOwed(), 9u);
  EXPECT_EQ(kept.SettleOldestOwed(), 0u);
  EXPECT_EQ(kept.Bytes(), 0u);
  // The calls held for the host, queued for the dispatcher and kept for
  // VxRecvCmd together, are bounded to the byte: a call that fills the bound
  // still fits, a byte more does not.
  vxb::HeldCalls held;
  const size_t footprint = vxb::KeptCalls::Footprint(call("Held"));
  EXPECT_FALSE(held.Queue(call("Held"), vxb::HeldCalls::kMaximumHeldBytes - footprint + 1));
  EXPECT_TRUE(held.Queue(call("Held"), vxb::HeldCalls::kMaximumHeldBytes - footprint));
  EXPECT_EQ(held.HeldBytes(), footprint);
  // Without memory to queue or keep a call, or to owe its answer, each says
  // so (the one not taken stays kept); with memory again they work.
  vxb::KeptCalls owing, fresh;
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(owing.Keep(call("Owed"), 9, true));
  auto failsWithin200 = [](const std::function<bool()>& step) {
    for (int i = 0; i < 200; ++i) if (!step()) return true;
    return false;
  };
  vxtest::FailNewFrom(1);
  const bool queueing = failsWithin200([&] { return held.Queue(call("Held"), 0); });
  const bool keeping = failsWithin200([&] { return fresh.Keep(call("Kept"), 9, true); });
  const bool taking = failsWithin200([&] { return owing.Take(&r); });
  vxtest::FailNewFrom(0);
  EXPECT_TRUE(queueing && keeping && taking);
  const size_t left = owing.Bytes();
  ASSERT_TRUE(owing.Take(&r));
  EXPECT_LT(owing.Bytes(), left);
}

// A thread reads its own latest answer, one that sent nothing the process's;
// an answer handed out outlives its replacement, and nothing outlives the
// object.
TEST(LastAnswers, WhatIsHandedOutOutlivesItsReplacement) {
  HeapBalance balance;
  Pool pool;
  auto text = [](Answer* a) { return std::string(reinterpret_cast<const char*>(a->text), a->length); };
  vxb::LastAnswers last;
  std::thread([&] { last.Keep(pool.Make("theirs")); }).join();
  Answer* seen = last.Current();
  last.Keep(pool.Make("mine"));
  last.KeepProcessLatest(pool.Make("a handler's"));
  EXPECT_EQ(text(seen), "theirs");
  vxb::LetGo(seen);
  seen = last.Current();
  EXPECT_EQ(text(seen), "mine");
  vxb::LetGo(seen);
}

// The petition block is taken once, at the first petition it could be had
// for; until then a petition reads back empty. One that does not fit is
// refused, empty.
TEST(PetitionBuffer, EmptyUntilItsBlockCanBeHad) {
  constexpr uint32_t kFull = vxb::PetitionBuffer::kCapacity;
  const std::string longest(kFull + 1, 'p');
  vxb::plat::SetAllocFailureThreshold(1);
  vxb::PetitionBuffer petition;
  EXPECT_FALSE(petition.Store("EXE A()\n", 8));
  EXPECT_EQ(petition.Size(), 0u);
  vxb::plat::SetAllocFailureThreshold(0);
  ASSERT_TRUE(petition.Store(longest.data(), kFull));
  const uint8_t* block = petition.Data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), kFull + 1), longest.substr(1) + '\0');
  EXPECT_FALSE(petition.Store(longest.data(), kFull + 1));
  EXPECT_EQ(std::make_pair(petition.Data(), petition.Size()), std::make_pair(block, 0u));
  EXPECT_EQ(block[0], 0);
}

}  // namespace
