// The hand-offs of the messaging layer: answers to the waiting commands
// (which command gets which answer, breaks, new connections, time-outs, the
// limit on answers nobody asked for) and calls to the host's handler.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "linked_pair.h"
#include "messaging/dispatch_thread.h"
#include "messaging/response_signal.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using vxb::ResponseSignal;
constexpr ResponseSignal::Role kHost = ResponseSignal::kHostCommand;
constexpr ResponseSignal::Role kHandler = ResponseSignal::kHandlerCommand;

// Every answer and block goes back: once a signal (and its pool) is gone,
// the heap holds what it held before. The slack covers the allocator's own
// caches of small freed chunks.
struct HeapBalance {
  const size_t before = vxtest::HeapInUse();
  ~HeapBalance() { EXPECT_LE(vxtest::HeapInUse(), before + 4096) << "answers or blocks were not given back"; }
};

// Hands text on as the reader does: read into a block of the usual size.
void Post(ResponseSignal& r, const std::string& text) {
  vxb::Answer* a = r.TakeBlank();
  ASSERT_NE(a, nullptr);
  if (a->block.data == nullptr) {
    a->block.capacity = 4048;
    a->block.data = static_cast<uint8_t*>(vxb::plat::AllocBlock(a->block.capacity));
  }
  std::memcpy(a->block.data, text.data(), text.size());
  a->block.used = static_cast<uint32_t>(text.size());
  a->text = a->block.data;
  a->length = a->block.used;
  a->code = 0;
  r.PostResponse(a);
}

// What the role's command gets: the answer's text, or "<result>".
std::string Take(ResponseSignal& r, ResponseSignal::Role role, uint32_t timeoutMs = 60000) {
  vxb::Answer* a = nullptr;
  const int rc = r.Wait(role, timeoutMs, &a);
  std::string got = rc == 0 ? std::string(reinterpret_cast<const char*>(a->text), a->length)
                            : "<" + std::to_string(rc) + ">";
  vxb::LetGo(a);
  return got;
}

// Steps: H and D register the host command and the handler's command (the
// handler runs the latest call), C stamps a call of the viewer, a letter
// posts that answer.
struct Pairing {
  const char* steps;
  const char* host;
  const char* handler;
};

TEST(ResponseSignal, PairsAnswersWithTheWaitingCommands) {
  const Pairing cases[] = {
      // The viewer called the host inside the host command: it answers the
      // handler's command first.
      {"HCDba", "a", "b"},
      // The same commands answered in arrival order go crosswise; both
      // still complete.
      {"HCDab", "b", "a"},
      // The call came before the host command: order of sending.
      {"CHDab", "a", "b"},
      {"CDHab", "b", "a"},
      // Answers nobody asked for go to the next commands, oldest first.
      {"abHCD", "a", "b"},
  };
  HeapBalance balance;
  for (const Pairing& c : cases) {
    ResponseSignal r;
    uint64_t call = 0;
    for (const char* p = c.steps; *p != 0; ++p) {
      switch (*p) {
        case 'H': ASSERT_TRUE(r.Register(kHost, 0)); break;
        case 'D': ASSERT_TRUE(r.Register(kHandler, call)); break;
        case 'C': call = r.StampCall(); break;
        default: Post(r, std::string(1, *p)); break;
      }
    }
    EXPECT_FALSE(r.Register(kHost, 0)) << "one host command at a time";
    EXPECT_EQ(Take(r, kHost), c.host) << c.steps;
    EXPECT_EQ(Take(r, kHandler), c.handler) << c.steps;
  }
}

TEST(ResponseSignal, BreaksResetsAndTimeOutsEndTheWait) {
  HeapBalance balance;
  ResponseSignal r;
  // Both waiters asleep on other threads are woken by the break.
  ASSERT_TRUE(r.Register(kHost, 0));
  ASSERT_TRUE(r.Register(kHandler, 0));
  std::string host, handler;
  std::thread t1([&] { host = Take(r, kHost); });
  std::thread t2([&] { handler = Take(r, kHandler); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  r.PostBroken();
  t1.join();
  t2.join();
  EXPECT_EQ(host, "<-6>");
  EXPECT_EQ(handler, "<-6>");
  // Broken until the next connection; what still arrives is dropped.
  for (int i = 0; i < 100; ++i) Post(r, "late");
  ASSERT_TRUE(r.Register(kHost, 0));
  EXPECT_EQ(Take(r, kHost), "<-6>");

  // A command still waiting when the next connection starts gets -6, and
  // nothing of the old connection reaches the new one's commands.
  r.Reset();
  ASSERT_TRUE(r.Register(kHost, 0));
  r.Reset();
  EXPECT_EQ(Take(r, kHost), "<-6>");
  Post(r, "unasked");
  r.Reset();
  ASSERT_TRUE(r.Register(kHost, 0));
  Post(r, "new");
  EXPECT_EQ(Take(r, kHost), "new");

  // A time-out ends the connection for every command: a late answer is
  // never taken for the next command's.
  ASSERT_TRUE(r.Register(kHost, 0));
  ASSERT_TRUE(r.Register(kHandler, 0));
  EXPECT_EQ(Take(r, kHost, 1), "<" + std::to_string(ResponseSignal::kTimedOut) + ">");
  EXPECT_EQ(Take(r, kHandler), "<-6>");
  Post(r, "late");
  ASSERT_TRUE(r.Register(kHost, 0));
  EXPECT_EQ(Take(r, kHost), "<-6>");

  // A command that could not be sent leaves its unasked answer to the next,
  // unless the connection ends first: a handler's command timing out.
  for (bool timeOut : {false, true}) {
    r.Reset();
    Post(r, "kept");
    ASSERT_TRUE(r.Register(kHost, 0));
    ASSERT_TRUE(r.Register(kHandler, 0));
    r.Withdraw(kHost);
    if (timeOut) {
      EXPECT_EQ(Take(r, kHandler, 1), "<" + std::to_string(ResponseSignal::kTimedOut) + ">");
    }
    ASSERT_TRUE(r.Register(kHost, 0));
    EXPECT_EQ(Take(r, kHost), timeOut ? "<-6>" : "kept");
    if (!timeOut) r.Withdraw(kHandler);
  }

  // A break lets go of the unasked answers at once, not at the next
  // connection: all but the pool's few spares leave the heap.
  r.Reset();
  const size_t before = vxtest::HeapInUse();
  for (int i = 0; i < 100; ++i) Post(r, "unasked");
  r.PostBroken();
  EXPECT_LE(vxtest::HeapInUse(), before + 8 * 4096);
}

TEST(ResponseSignal, UnaskedAnswersAreLimitedByTheirBlocks) {
  // Tiny answers in blocks of the usual size: the limit counts the blocks,
  // not the few bytes in them.
  HeapBalance balance;
  ResponseSignal r;
  constexpr int kPosted = 6000;
  for (int i = 0; i < kPosted; ++i) Post(r, std::to_string(i));
  const size_t kept =
      ResponseSignal::kMaximumWaitingBytes / (4048 + ResponseSignal::kAnswerOverhead);
  ASSERT_TRUE(r.Register(kHost, 0));
  EXPECT_EQ(Take(r, kHost), std::to_string(kPosted - kept));
}

std::atomic<int> g_handled{0};
void VXAPI CountCall(const char*, const char*, CallAnswer*) { ++g_handled; }

// A call the handler has answered no longer counts against the bound on
// held calls: far more than the bound passes through, one after another.
TEST(DispatchThread, AnsweredCallsNoLongerCountAgainstTheBound) {
  vxtest::LinkedPair p;
  vxb::DispatchThread d;
  d.SetLink(&p.link);
  d.SetCallHandler(CountCall);
  d.Start();
  const int calls = static_cast<int>(vxb::DispatchThread::kMaximumHeldBytes >> 20) + 8;
  int passed = 0;
  for (; passed < calls; ++passed) {
    vxb::IncomingMessage m;
    m.kind = vxb::Call;
    m.name = "Big";
    m.args.assign(1u << 20, 'x');
    if (!d.PushCall(std::move(m))) break;
    d.Signal();
    if (!vxtest::WaitUntil([&] { return g_handled == passed + 1; })) break;
  }
  d.PushBroken();
  d.Signal();
  d.Wait();
  EXPECT_EQ(passed, calls);
}

}  // namespace
