// FrameSplitter on literal streams, whole and cut in two at every byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "transport/frame_splitter.h"

namespace {

using vxb::FrameSplitter;
using vxtest::Bytes;

// What a reader makes of the stream given in two pieces (cut at `cut`):
// the frames, a body longer than the buffer taken on from the stream, then
// "|too large" or "|rest N" for the bytes left buffered at the end.
std::string Split(const std::string& stream, size_t cut, uint32_t capacity) {
  std::vector<uint8_t> storage(capacity);
  FrameSplitter splitter(storage.data(), capacity, 2000000);
  std::string out;
  size_t at = 0;  // bytes handed over
  size_t given = cut;  // bytes that have "arrived"
  for (;;) {
    FrameSplitter::Frame f;
    const auto status = splitter.Next(&f);
    if (status == FrameSplitter::kTooLarge) return out + "|too large";
    if (status == FrameSplitter::kFrame) {
      std::string body(reinterpret_cast<const char*>(f.head), f.buffered);
      const size_t missing = f.length - f.buffered;
      if (stream.size() - at < missing) return out + "|cut in a body";
      body += stream.substr(at, missing);
      at += missing;
      given = std::max(given, at);
      out += "[" + body + "]";
      continue;
    }
    if (at == given) given = stream.size();
    if (at == stream.size()) return out + "|rest " + std::to_string(splitter.Buffered());
    uint8_t* space = splitter.Space();
    const size_t n = std::min<size_t>(splitter.SpaceSize(), given - at);
    std::memcpy(space, stream.data() + at, n);
    splitter.Added(static_cast<uint32_t>(n));
    at += n;
  }
}

TEST(FrameSplitter, FramesComeOutWholeHoweverTheStreamIsCut) {
  std::string burst, frames;
  for (int i = 0; i < 40; ++i) {
    burst += Bytes("\x14\0\0\0EXE Notify(7,ready)\n");
    frames += "[EXE Notify(7,ready)\n]";
  }
  struct Case {
    std::string stream, frames;
  };
  const Case cases[] = {
      // (A call and an answer, empty frames and ones shorter than a tag: the
      // frame reader's test, cut at every byte.)
      // A body longer than the buffer, then one more frame.
      {Bytes("\x1c\0\0\0RET 0,19,abcdefghijklmnopqrs\x02\0\0\0ok"),
       "[RET 0,19,abcdefghijklmnopqrs][ok]|rest 0"},
      // The largest length is taken; one more is refused on the prefix alone.
      {Bytes("\x02\0\0\0ok\x7f\x84\x1e\0RET "), "[ok]|cut in a body"},
      {Bytes("\x02\0\0\0ok\x80\x84\x1e\0"), "[ok]|too large"},
      {Bytes("\xff\xff\xff\xff"), "|too large"},
      // Cut off by the end of the stream: inside a prefix, inside a head.
      {Bytes("\x02\0\0\0ok\x0a\0"), "[ok]|rest 2"},
      {Bytes("\x02\0\0\0ok\x0a\0\0\0RE"), "[ok]|rest 6"},
      {burst, frames + "|rest 0"},
  };
  for (const Case& c : cases) {
    for (uint32_t capacity : {16u, 4096u}) {
      for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
        EXPECT_EQ(Split(c.stream, cut, capacity), c.frames)
            << "cut at " << cut << ", buffer " << capacity << ", stream " << c.stream.substr(4, 12);
      }
    }
  }
}

}  // namespace
