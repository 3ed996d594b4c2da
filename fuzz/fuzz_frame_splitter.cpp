// FrameSplitter fed a stream in pieces of 1-16 bytes through a 9- to 40-byte
// buffer, a body longer than what is buffered taken straight from the
// stream as the reader does. The frames must be those of the stream parsed
// whole, in order; a length at or above the limit stops the stream there; a
// frame cut off by the end never comes out, and the bytes left buffered are
// those after the last whole frame. Input: buffer size, length limit (0:
// the library's 2,000,000), seed of the piece sizes, then the stream.
#include <algorithm>
#include <vector>

#include "fuzz_check.h"
#include "transport/frame_splitter.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  std::vector<Bytes> frames;
  bool tooLarge = false;
  size_t rest = 0;  // bytes after the last whole frame
};

Outcome Reference(const uint8_t* s, size_t size, uint32_t limit) {
  Outcome o;
  size_t at = 0;
  for (uint32_t length; size - at >= 4 && size - at - 4 >= (length = vxbfuzz::Le32(s + at)); at += 4 + length) {
    if ((o.tooLarge = length >= limit)) return o;
    o.frames.emplace_back(s + at + 4, s + at + 4 + length);
  }
  o.tooLarge = size - at >= 4 && vxbfuzz::Le32(s + at) >= limit;
  o.rest = size - at;
  return o;
}

}  // namespace

VXB_FUZZ_ENTRY(frame_splitter) {
  if (size < 3 || size > (1 << 16)) return 0;
  const uint32_t capacity = 9 + data[0] % 32;
  const uint32_t limit = data[1] == 0 ? 2000000 : data[1];
  uint32_t seed = data[2] | 0x100u;
  const uint8_t* stream = data + 3;
  const size_t length = size - 3;

  Bytes storage(capacity);  // exactly the size given: ASan sees any overrun
  vxb::FrameSplitter splitter(storage.data(), capacity, limit);
  Outcome got;
  bool cutInBody = false;
  for (size_t at = 0;;) {  // at: stream bytes handed over so far
    vxb::FrameSplitter::Frame f;
    const auto status = splitter.Next(&f);
    if ((got.tooLarge = status == vxb::FrameSplitter::kTooLarge)) break;  // the frames tell whether rightly
    if (status == vxb::FrameSplitter::kFrame) {
      VXB_CHECK(f.length < limit && f.buffered <= f.length && f.buffered >= std::min(f.length, 4u));
      VXB_CHECK(f.head >= storage.data() && f.head + f.buffered <= storage.data() + capacity);
      const size_t missing = f.length - f.buffered;
      if ((cutInBody = length - at < missing)) break;
      Bytes body(f.head, f.head + f.buffered);
      body.insert(body.end(), stream + at, stream + at + missing);
      got.frames.push_back(body);
      at += missing;
      continue;
    }
    if (at == length) break;
    uint8_t* space = splitter.Space();
    const uint32_t room = splitter.SpaceSize();
    VXB_CHECK(room > 0 && space + room == storage.data() + capacity);
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min({size_t{1} + (seed >> 16) % 16, size_t{room}, length - at});
    std::memcpy(space, stream + at, n);
    splitter.Added(static_cast<uint32_t>(n));
    at += n;
  }
  got.rest = splitter.Buffered();
  const Outcome want = Reference(stream, length, limit);
  VXB_CHECK(got.tooLarge == want.tooLarge && got.frames == want.frames);
  // Cut off inside a longer body, the reader took the rest from the stream.
  if (!want.tooLarge && !cutInBody) VXB_CHECK(got.rest == want.rest);
  return 0;
}
