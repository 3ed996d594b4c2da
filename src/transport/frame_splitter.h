// FrameSplitter: cuts the received byte stream into frames (a 4-byte
// little-endian length, then that many bytes of body). Bytes go in as they
// arrive, in pieces of any size; frames come out. It knows nothing of
// sockets, so the reader can take whatever has arrived with one receive,
// and the splitter can be driven with any bytes at all.
#pragma once

#include <cstdint>

namespace vxb {

class FrameSplitter {
 public:
  static constexpr uint32_t kPrefixLength = 4;
  // Body bytes held back until they are all there, so that a frame's kind
  // (its tag) is known when it comes out; fewer for a shorter body.
  static constexpr uint32_t kHeadLength = 4;

  enum Status { kNeedMore, kFrame, kTooLarge };

  struct Frame {
    uint32_t length = 0;            // the body's length, from the prefix
    const uint8_t* head = nullptr;  // the body bytes already here
    uint32_t buffered = 0;          // how many: at least min(length, kHeadLength)
  };

  // storage (capacity bytes, more than kPrefixLength + kHeadLength) stays
  // the caller's; a length of limit or more is refused.
  FrameSplitter(uint8_t* storage, uint32_t capacity, uint32_t limit);

  // Where the next bytes go, and how many fit there. Asked for after Next
  // said kNeedMore, that is never none: the bytes taken are let go here
  // (so a frame's head stays valid only until Space is called).
  uint8_t* Space();
  uint32_t SpaceSize() const { return capacity_ - end_; }
  // n bytes were written at Space().
  void Added(uint32_t n) { end_ += n; }

  // The next frame: kFrame with *frame set and its buffered bytes taken (a
  // body longer than them goes on in the stream, and its rest must be
  // taken from there before more bytes are added); kNeedMore while its
  // prefix or head is incomplete; kTooLarge with frame->length set when the
  // prefix is at or above the limit, which the stream cannot get past.
  Status Next(Frame* frame);

  // Bytes received and not yet taken.
  uint32_t Buffered() const { return end_ - begin_; }
  // Forgets them: the stream they came from is gone.
  void Clear() { begin_ = end_ = 0; }

 private:
  uint8_t* data_;
  uint32_t capacity_;
  uint32_t limit_;
  uint32_t begin_ = 0;  // first byte not taken
  uint32_t end_ = 0;    // one past the last byte received
};

}  // namespace vxb
