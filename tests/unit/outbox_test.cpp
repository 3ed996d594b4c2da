// Which messages share a send, and which leave when a session ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/outbox.h"
#include "platform/platform.h"

namespace {

using vxb::Deadline;
using vxb::Outgoing;

constexpr int64_t kNone = -1;  // no deadline
constexpr int64_t kUp = -2;    // a deadline already passed
const char kPayload[] = "";    // never read: only sizes count here

struct Msg {
  uint32_t head;    // bytes after the prefix
  bool framed;
  int64_t due;      // ms after a common base, or kNone / kUp
  bool handlerAnswer = false;
};

// The outbox holding msgs, named a, b, c, ... in order.
struct Box {
  vxb::Outbox box;
  std::vector<Outgoing> m;
  explicit Box(const std::vector<Msg>& msgs) : m(msgs.size()) {
    const uint64_t base = vxb::plat::MonotonicMs() + 60000;
    for (size_t i = 0; i < msgs.size(); ++i) {
      // A header of a byte and the rest as its payload, as a command's.
      m[i].frame.headLength = msgs[i].head > 0 ? 1 : 0;
      m[i].frame.tail = kPayload;
      m[i].frame.tailLength = msgs[i].head > 0 ? msgs[i].head - 1 : 0;
      m[i].frame.framed = msgs[i].framed;
      m[i].deadline.at = msgs[i].due == kNone ? Deadline::kNever : msgs[i].due == kUp ? 1 : base + msgs[i].due;
      if (msgs[i].handlerAnswer) m[i].handlerAnswer = true;  // else as a command has it
      box.Append(&m[i]);
    }
  }
  char Name(const Outgoing* o) const { return static_cast<char>('a' + (o - m.data())); }
  // Every batch taken, "ab|c": each with the latest of its deadlines, its
  // messages marked sending and their frames linked in the same order.
  std::string Batches() {
    std::string out;
    Deadline sendBy;
    while (Outgoing* first = box.TakeBatch(&sendBy)) {
      if (!out.empty()) out += '|';
      uint64_t latest = 0;
      const vxb::OutFrame* frame = &first->frame;
      for (Outgoing* o = first; o != nullptr; o = o->next, frame = frame->nextInSend) {
        out += Name(o);
        EXPECT_EQ(o->stage, Outgoing::Stage::kSending);
        EXPECT_EQ(frame, &o->frame);
        latest = std::max(latest, o->deadline.at);
      }
      EXPECT_EQ(frame, nullptr) << out;
      EXPECT_EQ(sendBy.at, latest) << out;
    }
    return out;
  }
};

struct BatchRow {
  const char* what;
  std::vector<Msg> msgs;
  const char* batches;
};

TEST(Outbox, SmallFramedMessagesWithAlikeDeadlinesShareASend) {
  constexpr uint32_t kHalf = vxb::Outbox::kBatchBytes / 2 - 4;  // with its prefix, half a batch
  const std::vector<BatchRow> rows = {
      {"none of them has a deadline", {{10, true, kNone}, {10, true, kNone}, {10, true, kNone}}, "abc"},
      {"exactly a batch", {{kHalf, true, kNone}, {kHalf, true, kNone}, {0, true, kNone}}, "ab|c"},
      {"a byte over a batch", {{kHalf, true, kNone}, {kHalf + 1, true, kNone}}, "a|b"},
      {"raw bytes go alone", {{10, true, kNone}, {10, false, kNone}, {10, true, kNone}}, "a|b|c"},
      {"a raw first goes alone", {{10, false, kNone}, {10, true, kNone}, {10, true, kNone}}, "a|bc"},
      {"a deadline and none", {{10, true, 100}, {10, true, kNone}}, "a|b"},
      {"none and a deadline", {{10, true, kNone}, {10, true, 100}}, "a|b"},
      {"within the join window", {{10, true, 100}, {10, true, 120}, {10, true, 50}}, "abc"},
      {"just past the window", {{10, true, 100}, {10, true, 121}}, "a|b"},
      {"an earlier one joins a later", {{10, true, 100}, {10, true, 121}, {10, true, 100}}, "a|bc"},
      {"time already up", {{10, true, kUp}, {10, true, kUp}}, "a|b"},
  };
  for (const BatchRow& row : rows) {
    std::vector<Msg> msgs = row.msgs;
    Box box(msgs);
    EXPECT_EQ(box.Batches(), row.batches) << row.what;
    EXPECT_TRUE(box.box.Empty()) << row.what;
  }
}

// A session that ends fails what is queued; one that is ending keeps the
// answers of handlers (which may still leave), and only those.
TEST(Outbox, FailAllKeepsOnlyHandlerAnswersWhenAsked) {
  for (bool keep : {false, true}) {
    Box box({{1, true, kNone, false}, {2, true, kNone, true}, {3, true, kNone, false}, {4, true, kNone, true}});
    std::string woken;
    box.box.FailAll(-6, keep, [](void* out, Outgoing* o) { *static_cast<std::string*>(out) += char('1' + o->frame.tailLength); },
                    &woken);
    EXPECT_EQ(woken, keep ? "13" : "1234");
    for (const Outgoing& o : box.m) {
      const bool kept = keep && o.handlerAnswer;
      EXPECT_EQ(o.stage, kept ? Outgoing::Stage::kQueued : Outgoing::Stage::kDone);
      EXPECT_EQ(o.result, kept ? 0 : -6);
    }
    EXPECT_EQ(box.Batches(), keep ? "bd" : "");
  }
}

// Taking back a message from anywhere in the queue keeps the rest in order
// and the queue's end right, and says whether it was queued.
TEST(Outbox, RemoveTakesBackFromAnywhere) {
  Box box({{1, false, kNone}, {2, false, kNone}, {3, false, kNone}, {4, false, kNone}});
  EXPECT_TRUE(box.box.Remove(&box.m[2]));
  EXPECT_FALSE(box.box.Remove(&box.m[2]));
  box.box.Append(&box.m[2]);  // now behind d
  EXPECT_TRUE(box.box.Remove(&box.m[0]));
  EXPECT_EQ(box.Batches(), "b|d|c");
  EXPECT_FALSE(box.box.Remove(&box.m[2]));
}

}  // namespace
