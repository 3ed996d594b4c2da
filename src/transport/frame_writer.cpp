#include "frame_writer.h"

#include <string>

#include "vxbridge.h"
#include "wire_trace.h"

namespace vxb {
namespace {

void PutLength(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t TailLength(const OutFrame& f) { return f.tail != nullptr ? f.tailLength : 0; }

// One frame from where it is, however large: prefix, head and tail in one
// gather call, so a peer woken by the send finds the whole message.
int WriteOne(SocketLink& link, const OutFrame& f, uint32_t timeoutMs) {
  uint8_t prefix[4];
  PutLength(prefix, f.headLength + TailLength(f));
  const plat::SendPart parts[3] = {
      {prefix, f.framed ? 4u : 0u}, {f.head, f.headLength}, {f.tail, TailLength(f)}};
  return link.SendParts(parts, 3, timeoutMs);
}

}  // namespace

int WriteFrames(SocketLink& link, const OutFrame* first, uint32_t timeoutMs) {
  if (WireTrace* t = link.Trace()) {
    for (const OutFrame* f = first; f != nullptr; f = f->nextInSend) {
      if (f->framed) {
        t->Sent(f->head, f->headLength, f->tail, TailLength(*f));
      } else {
        t->SentRaw(f->head, f->headLength);
      }
    }
  }
  if (first->nextInSend == nullptr) return WriteOne(link, *first, timeoutMs);
  // Several small ones: joined, for one system call.
  std::string bytes;
  try {
    uint32_t total = 0;
    for (const OutFrame* f = first; f != nullptr; f = f->nextInSend) total += WireSize(*f);
    bytes.reserve(total);
    for (const OutFrame* f = first; f != nullptr; f = f->nextInSend) {
      if (f->framed) {
        uint8_t prefix[4];
        PutLength(prefix, f->headLength + TailLength(*f));
        bytes.append(reinterpret_cast<const char*>(prefix), 4);
      }
      bytes.append(static_cast<const char*>(f->head), f->headLength);
      if (TailLength(*f) > 0) bytes.append(static_cast<const char*>(f->tail), f->tailLength);
    }
  } catch (...) {
    plat::RethrowThreadExit();
    // No memory to join them: one send each, still in order (and, traced
    // above already, not traced again).
    for (const OutFrame* f = first; f != nullptr; f = f->nextInSend) {
      if (int rc = WriteOne(link, *f, timeoutMs); rc != VX_OK) return rc;
    }
    return VX_OK;
  }
  const plat::SendPart part{bytes.data(), static_cast<uint32_t>(bytes.size())};
  return link.SendParts(&part, 1, timeoutMs);
}

}  // namespace vxb
