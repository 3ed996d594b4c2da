// RecvBuffer: a block that one received message body is read into, whole
// and NUL-terminated, laid out where the kernel's copy into it is fastest.
//
// Placement: the block begins on a page boundary and the body kBodyOffset
// (the length prefix's size) bytes into it, so that byte j of the frame
// lands at offset j of a page. That is where the kernel mostly holds it
// when the viewer writes the frame with one send on a connection whose
// earlier bytes have been read (Linux fills the pages of a send whole, from
// the start of a page once the previous ones are released), so source and
// destination of the kernel's copy sit at the same offset in their pages.
// Processors whose copy slows down when they do not (measured: AMD EPYC,
// up to three times slower) take this case at full speed; on others
// (measured: Intel Xeon) every placement costs the same. bench/README.md
// has the figures.
#pragma once

#include <cstdint>

namespace vxb {

struct RecvBuffer {
  static constexpr uint32_t kInitialCapacity = 4048;
  // A body needs one byte more than its length (the NUL): the longest one
  // is 1,999,999 bytes.
  static constexpr uint32_t kMaximumCapacity = 2000000;
  static constexpr uint32_t kBodyOffset = 4;

  uint8_t* data = nullptr;  // the body; null until a block is made
  uint32_t capacity = 0;    // bytes from data on
  uint32_t used = 0;        // the body's length; data[used] is 0
};

// Makes b hold at least capacity bytes: 0; -8 below kInitialCapacity, -9
// above kMaximumCapacity, -11 without memory (b unchanged for all three).
// Never shrinks; a new block does not keep the old content, and is not
// filled (every byte is written before it is read).
int EnsureCapacity(RecvBuffer& b, uint32_t capacity);
// Gives the block back; b is empty afterwards.
void FreeBuffer(RecvBuffer& b);

}  // namespace vxb
