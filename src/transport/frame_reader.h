// FrameReader: the read side of one connection, in one pass per message.
// It owns the read-ahead (what one receive brought, cut into frames by a
// FrameSplitter) and the blocks that bodies are read into; it decides each
// message's kind on its tag, reads a body longer than what had arrived
// straight into its final block, and hands up a finished message, traced
// once: an answer, parsed, in a block of its own pool, or a call split into
// name and args. Only the connection's reader thread uses it.
#pragma once

#include <cstdint>

#include "answer.h"
#include "frame_splitter.h"
#include "recv_buffer.h"
#include "socket_link.h"
#include "wire_format.h"

namespace vxb {

// One message as the reader finished it.
struct Received {
  int32_t kind = NoMessage;  // Response, Call, or NoMessage (another tag, or none)
  Answer* answer = nullptr;  // Response: parsed, with one hold (the caller's)
  IncomingMessage call;      // Call: name and args
};

class FrameReader {
 public:
  // Reads from link, which outlives it.
  explicit FrameReader(SocketLink& link);
  // Retires the pool: answers still held elsewhere stay valid.
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;
  // Whether the pool and the first block for calls could be had.
  bool Ready() const { return pool_ != nullptr && callBlock_.data != nullptr; }

  // Waits for the next message and reads it whole into *out (fresh): 0;
  // else the link is closed and the result is -6 (broken, or closed
  // meanwhile), -9 (a length no block can take) or -11 (no memory for the
  // body or the call's texts). A message cut off by the end of the stream
  // is never handed up.
  int Read(Received* out);

  // The block calls are read into (for tests).
  const RecvBuffer& CallBlock() const { return callBlock_; }

 private:
  int NextFrame(FrameSplitter::Frame* frame);
  int ReadAnswer(const FrameSplitter::Frame& frame, Received* out);
  // The whole body into b, which grows to hold it; NUL-terminated.
  int ReadBody(const FrameSplitter::Frame& frame, RecvBuffer& b);
  // The stream cannot be read in step any more: it is given up.
  int GiveUp(int rc);

  // What one receive may take at once: small messages arrive many to a
  // receive (one system call for all of them); a larger body goes on
  // straight into its block.
  static constexpr uint32_t kReadAhead = 16384;

  SocketLink& link_;
  AnswerPool* const pool_;
  RecvBuffer callBlock_;
  uint8_t readAhead_[kReadAhead];
  FrameSplitter splitter_{readAhead_, kReadAhead, RecvBuffer::kMaximumCapacity};
};

}  // namespace vxb
