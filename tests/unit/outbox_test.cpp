// Which messages share a send, and which leave when a session ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/outbox.h"
#include "platform/platform.h"

namespace {

using vxb::Outgoing;

constexpr int64_t kNone = -1;  // no deadline
constexpr int64_t kUp = -2;    // a deadline already passed

// Messages a, b, c, ... of `sizes` bytes after the prefix (0: raw bytes of
// 10), with deadlines `due` ms after a common base (or kNone, kUp); 'h' in
// `answers` marks a handler's answer.
struct Box {
  vxb::Outbox box;
  std::vector<Outgoing> m;
  Box(const std::vector<uint32_t>& sizes, const std::vector<int64_t>& due, const std::string& answers = "")
      : m(sizes.size()) {
    const uint64_t base = vxb::plat::MonotonicMs() + 60000;
    for (size_t i = 0; i < m.size(); ++i) {
      // A header of a byte and the rest as its payload, as a command's.
      m[i].frame = {"", 1, "", sizes[i] == 0 ? 9 : sizes[i] - 1, sizes[i] != 0, nullptr};
      m[i].deadline.at = due[i] == kNone ? vxb::Deadline::kNever : due[i] == kUp ? 1 : base + due[i];
      if (i < answers.size() && answers[i] == 'h') m[i].handlerAnswer = true;  // else as a command has it
      box.Append(&m[i]);
    }
  }
  // Every batch taken, "ab|c": each sent by the latest of its deadlines, its
  // messages marked sending, their frames linked in the same order.
  std::string Batches() {
    std::string out;
    vxb::Deadline sendBy;
    while (Outgoing* first = box.TakeBatch(&sendBy)) {
      out += out.empty() ? "" : "|";
      uint64_t latest = 0;
      const vxb::OutFrame* frame = &first->frame;
      for (Outgoing* o = first; o != nullptr; o = o->next, frame = frame->nextInSend) {
        out += static_cast<char>('a' + (o - m.data()));
        EXPECT_TRUE(o->stage == Outgoing::Stage::kSending && frame == &o->frame) << out;
        latest = std::max(latest, o->deadline.at);
      }
      EXPECT_TRUE(frame == nullptr && sendBy.at == latest) << out;
    }
    return out;
  }
};

TEST(Outbox, SmallFramedMessagesWithAlikeDeadlinesShareASend) {
  constexpr uint32_t kHalf = vxb::Outbox::kBatchBytes / 2 - 4;  // with its prefix, half a batch
  const struct {
    std::vector<uint32_t> sizes;
    std::vector<int64_t> due;
    const char* batches;
  } rows[] = {
      {{10, 10, 10}, {kNone, kNone, kNone}, "abc"},
      {{kHalf, kHalf, 10}, {kNone, kNone, kNone}, "ab|c"},  // exactly a batch
      {{kHalf, kHalf + 1}, {kNone, kNone}, "a|b"},
      {{10, 0, 10}, {kNone, kNone, kNone}, "a|b|c"},  // raw bytes go alone
      {{0, 10, 10}, {kNone, kNone, kNone}, "a|bc"},
      {{10, 10}, {100, kNone}, "a|b"},
      {{10, 10}, {kNone, 100}, "a|b"},
      {{10, 10, 10}, {100, 120, 50}, "abc"},  // within the join window
      {{10, 10, 10}, {100, 121, 100}, "a|bc"},
      {{10, 10}, {kUp, kUp}, "a|b"},  // one whose time is up is left to its owner
  };
  for (const auto& row : rows) {
    Box box(row.sizes, row.due);
    EXPECT_EQ(box.Batches(), row.batches);
    EXPECT_TRUE(box.box.Empty());
  }
}

// A session that ends fails what is queued; one that is ending keeps the
// answers of handlers (which may still leave), and only those.
TEST(Outbox, FailAllKeepsOnlyHandlerAnswersWhenAsked) {
  for (bool keep : {false, true}) {
    Box box({1, 2, 3, 4}, {kNone, kNone, kNone, kNone}, "-h-h");
    std::string woken;
    box.box.FailAll(-6, keep, [](void* out, Outgoing* o) { *static_cast<std::string*>(out) += char('1' + o->frame.tailLength); },
                    &woken);
    EXPECT_EQ(woken, keep ? "13" : "1234");
    for (const Outgoing& o : box.m) EXPECT_EQ(o.result, keep && o.handlerAnswer ? 0 : -6);
    EXPECT_EQ(box.Batches(), keep ? "bd" : "");
  }
}

// Taking back a message from anywhere in the queue keeps the rest in order
// and the queue's end right, and says whether it was queued.
TEST(Outbox, RemoveTakesBackFromAnywhere) {
  Box box({0, 0, 0, 0}, {kNone, kNone, kNone, kNone});
  EXPECT_TRUE(box.box.Remove(&box.m[2]));
  EXPECT_FALSE(box.box.Remove(&box.m[2]));
  box.box.Append(&box.m[2]);  // now behind d
  EXPECT_TRUE(box.box.Remove(&box.m[0]));
  EXPECT_EQ(box.Batches(), "b|d|c");
  EXPECT_FALSE(box.box.Remove(&box.m[2]));
}

}  // namespace
