// FrameSplitter against a reference model: the input is a byte stream fed
// to the splitter in pieces, with a body longer than what is buffered taken
// straight from the stream, as the reader does. The frames that come out
// must be exactly those of the stream parsed whole, in order; a length at
// or above the limit stops the stream at that frame, before any of its
// body is looked at; a frame cut off by the end of the stream never comes
// out, and the bytes left buffered then are those after the last frame.
//
// Input layout: byte 0 picks the buffer's size (9 to 40 bytes, so that
// frames straddle it), byte 1 the length limit (1 to 255, or the library's
// 2,000,000 for 0), byte 2 the seed of the piece sizes; the rest is the
// stream.
#include <vector>

#include "fuzz_check.h"
#include "transport/frame_splitter.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;

using Bytes = std::vector<uint8_t>;

uint32_t LengthAt(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Outcome {
  std::vector<Bytes> frames;
  bool tooLarge = false;
  size_t rest = 0;  // bytes after the last whole frame (none when too large)
};

// The stream parsed whole.
Outcome Reference(const uint8_t* s, size_t size, uint32_t limit) {
  Outcome o;
  size_t at = 0;
  while (size - at >= 4) {
    const uint32_t length = LengthAt(s + at);
    if (length >= limit) {
      o.tooLarge = true;
      return o;
    }
    if (size - at - 4 < length) break;
    o.frames.emplace_back(s + at + 4, s + at + 4 + length);
    at += 4 + length;
  }
  o.rest = size - at;
  return o;
}

}  // namespace

VXB_FUZZ_ENTRY(frame_splitter) {
  if (size < 3 || size > kMaxInput) return 0;
  const uint32_t capacity = 9 + data[0] % 32;
  const uint32_t limit = data[1] == 0 ? 2000000 : data[1];
  uint32_t seed = data[2] | 0x100u;
  const uint8_t* stream = data + 3;
  const size_t length = size - 3;

  Bytes storage(capacity);  // exactly the size given: ASan sees any overrun
  vxb::FrameSplitter splitter(storage.data(), capacity, limit);
  Outcome got;
  bool cutInBody = false;
  size_t at = 0;  // stream bytes handed over so far
  for (;;) {
    vxb::FrameSplitter::Frame f;
    const auto status = splitter.Next(&f);
    if (status == vxb::FrameSplitter::kTooLarge) {
      VXB_CHECK(f.length >= limit);
      got.tooLarge = true;
      break;
    }
    if (status == vxb::FrameSplitter::kFrame) {
      VXB_CHECK(f.length < limit);
      VXB_CHECK(f.buffered <= f.length);
      VXB_CHECK(f.buffered >= (f.length < 4 ? f.length : 4u));
      VXB_CHECK(f.head >= storage.data() && f.head + f.buffered <= storage.data() + capacity);
      Bytes body(f.head, f.head + f.buffered);
      const size_t missing = f.length - f.buffered;
      if (length - at < missing) {
        cutInBody = true;  // cut off: never handed out
        break;
      }
      body.insert(body.end(), stream + at, stream + at + missing);
      at += missing;
      got.frames.push_back(body);
      continue;
    }
    if (at == length) {
      got.rest = splitter.Buffered();
      break;
    }
    uint8_t* space = splitter.Space();
    const uint32_t room = splitter.SpaceSize();
    VXB_CHECK(room > 0);
    VXB_CHECK(space + room == storage.data() + capacity);
    // Pieces of 1 to 16 bytes, fewer when the room or the stream ends.
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 16) % 16;
    if (n > room) n = room;
    if (n > length - at) n = length - at;
    std::memcpy(space, stream + at, n);
    splitter.Added(static_cast<uint32_t>(n));
    at += n;
  }

  const Outcome want = Reference(stream, length, limit);
  VXB_CHECK(got.tooLarge == want.tooLarge);
  VXB_CHECK(got.frames == want.frames);
  // Cut off inside a prefix or head, those bytes are still buffered (cut
  // off inside a longer body, the reader took the rest from the stream).
  if (!want.tooLarge && !cutInBody) VXB_CHECK(got.rest == want.rest);
  return 0;
}
