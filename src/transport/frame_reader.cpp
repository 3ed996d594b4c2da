#include "frame_reader.h"

#include <algorithm>
#include <cstring>

#include "vxbridge.h"
#include "wire_trace.h"

namespace vxb {

FrameReader::FrameReader(SocketLink& link) : link_(link), pool_(AnswerPool::Create()) {
  EnsureCapacity(callBlock_, RecvBuffer::kInitialCapacity);
}

FrameReader::~FrameReader() {
  FreeBuffer(callBlock_);
  if (pool_ != nullptr) pool_->Retire();
}

int FrameReader::GiveUp(int rc) {
  link_.Close();
  // What was read ahead goes with the stream, as unread bytes would.
  splitter_.Clear();
  return rc;
}

int FrameReader::Read(Received* out) {
  FrameSplitter::Frame frame;
  if (int rc = NextFrame(&frame); rc != VX_OK) return rc;
  // The kind is judged on the tag, which is in the head (a body shorter
  // than a tag has none).
  if (HasTag(frame.head, frame.buffered, "RET ")) return ReadAnswer(frame, out);
  const bool call = HasTag(frame.head, frame.buffered, "EXE ");
  const bool systemCall = HasTag(frame.head, frame.buffered, "SYS ");
  if (int rc = ReadBody(frame, callBlock_); rc != VX_OK) return rc;
  if (WireTrace* t = link_.Trace()) t->Received(callBlock_.data, frame.length);
  // Any other tag: the body is consumed and nothing is delivered.
  if (!call && !systemCall) return VX_OK;
  bool parsed = false;
  try {
    parsed = call ? ParseCall(callBlock_.data, frame.length, out->call)
                  : ParseSystemCall(callBlock_.data, frame.length, out->call);
  } catch (...) {
    plat::RethrowThreadExit();
    // No memory for its texts: the call cannot be delivered, and the viewer
    // would wait for its answer; the connection ends instead.
    return GiveUp(VX_E_NOT_ENOUGH_MEMORY);
  }
  if (parsed) out->kind = Call;
  return VX_OK;
}

int FrameReader::ReadAnswer(const FrameSplitter::Frame& frame, Received* out) {
  // Taken once the answer's head is here, not ahead of it: by then the
  // command before has usually let its predecessor go, so two blocks serve
  // a run of commands instead of three, and the one read into is the one
  // most lately used.
  Answer* answer = pool_->Take(frame.length + 1);
  if (answer == nullptr) return GiveUp(VX_E_NOT_ENOUGH_MEMORY);
  // A failed read ends the connection like any other, and the waiting
  // command learns it as such (-6). Handing over what had arrived would
  // pass a torn answer off as a whole one: its header alone often parses
  // ("RET 0,6,ab" cut off gives code 0 and "ab").
  if (int rc = ReadBody(frame, answer->block); rc != VX_OK) {
    LetGo(answer);
    return rc;
  }
  if (WireTrace* t = link_.Trace()) t->Received(answer->block.data, frame.length);
  answer->text = ParseResponse(answer->block.data, answer->block.used, &answer->length, &answer->code);
  out->kind = Response;
  out->answer = answer;
  return VX_OK;
}

int FrameReader::NextFrame(FrameSplitter::Frame* frame) {
  for (;;) {
    switch (splitter_.Next(frame)) {
      case FrameSplitter::kFrame:
        // Once the link is closed, what was read ahead is gone with it, as
        // unread bytes in the socket would be.
        if (link_.IsOpen()) return VX_OK;
        return GiveUp(VX_E_COMMUNICATION_BROKEN);
      case FrameSplitter::kTooLarge:
        // No block can hold it and the bytes cannot be skipped in step.
        if (WireTrace* t = link_.Trace()) t->TooLarge(frame->length);
        return GiveUp(VX_E_BUFFER_TOO_BIG);
      case FrameSplitter::kNeedMore:
        break;
    }
    // Whatever has arrived, up to the room there is, in one call.
    uint8_t* space = splitter_.Space();
    const int n = link_.Receive(space, splitter_.SpaceSize());
    if (n < 0) return GiveUp(n);
    splitter_.Added(static_cast<uint32_t>(n));
  }
}

int FrameReader::ReadBody(const FrameSplitter::Frame& frame, RecvBuffer& b) {
  b.used = 0;
  if (b.data != nullptr) b.data[0] = 0;
  if (frame.length == 0) return VX_OK;
  // Exactly the body and its NUL, never less than a first block. The
  // splitter has refused every length a block cannot take, so the growth
  // fails only for want of memory; the body cannot be skipped in step
  // without a place to put it, and reading it in pieces would hand out a
  // torn message, so the stream is given up.
  if (int rc = EnsureCapacity(b, std::max(frame.length + 1, RecvBuffer::kInitialCapacity));
      rc != VX_OK) {
    return GiveUp(rc);
  }
  std::memcpy(b.data, frame.head, frame.buffered);
  uint32_t received = frame.buffered;
  // The rest of a longer body is read straight into its block, as much as
  // the kernel holds with each receive (capped at 4 KB a receive, a 2 MB
  // body costs a third more here), and no further: the next frame's bytes
  // stay in the stream.
  while (received < frame.length) {
    const int n = link_.Receive(b.data + received, frame.length - received);
    if (n < 0) {
      b.data[received] = 0;
      b.used = received;
      return GiveUp(n);
    }
    received += static_cast<uint32_t>(n);
  }
  b.data[received] = 0;
  b.used = received;
  return VX_OK;
}

}  // namespace vxb
