#include "frame_splitter.h"

#include <cstring>

namespace vxb {

FrameSplitter::FrameSplitter(uint8_t* storage, uint32_t capacity, uint32_t limit)
    : data_(storage), capacity_(capacity), limit_(limit) {}

uint8_t* FrameSplitter::Space() {
  // What is left is an incomplete prefix or head (at most 7 bytes) or
  // frames not yet asked for; either way it moves to the front.
  if (begin_ > 0) {
    const uint32_t left = end_ - begin_;
    if (left > 0) std::memmove(data_, data_ + begin_, left);
    begin_ = 0;
    end_ = left;
  }
  return data_ + end_;
}

FrameSplitter::Status FrameSplitter::Next(Frame* frame) {
  const uint32_t here = end_ - begin_;
  if (here < kPrefixLength) return kNeedMore;
  const uint8_t* p = data_ + begin_;
  const uint32_t length = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  frame->length = length;
  // Judged on the prefix alone: no byte of such a body is looked at.
  if (length >= limit_) return kTooLarge;
  const uint32_t body = here - kPrefixLength;
  if (body < (length < kHeadLength ? length : kHeadLength)) return kNeedMore;
  frame->head = p + kPrefixLength;
  frame->buffered = body < length ? body : length;
  begin_ += kPrefixLength + frame->buffered;
  return kFrame;
}

}  // namespace vxb
