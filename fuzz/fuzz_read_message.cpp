// The frame reader over a real loopback connection: the input is the byte
// stream a viewer sends before it closes its end. Messages are read until a
// read fails, and every result is checked against the frames of the input.
#include <algorithm>

#include "fuzz_check.h"
#include "transport/frame_reader.h"
#include "transport/socket_link.h"

namespace plat = vxb::plat;
using vxb::RecvBuffer;

VXB_FUZZ_ENTRY(read_message) {
  // The stream is written whole before anything is read: it must fit in the
  // socket buffers. One listener serves the whole run.
  const size_t n = std::min<size_t>(size, 32 * 1024);
  static plat::Socket listener = plat::kInvalidSocket;
  static const uint16_t port = [] {
    VXB_CHECK(plat::SocketsStart() && (listener = plat::TcpSocket()) != plat::kInvalidSocket &&
              plat::BindAny(listener, 0) == 0 && plat::Listen(listener, 4) == 0);  // set-up, not the input
    return plat::LocalPort(listener);
  }();
  vxb::SocketLink link;
  VXB_CHECK(port != 0 && link.Connect("127.0.0.1", port) == 0);
  const plat::Socket viewer = plat::Accept(listener);
  VXB_CHECK(viewer != plat::kInvalidSocket && (n == 0 || plat::Send(viewer, data, static_cast<int>(n)) == static_cast<int>(n)));
  plat::CloseSocket(viewer);
  vxb::FrameReader reader(link);
  VXB_CHECK(reader.Ready());

  for (size_t position = 0, round = 0;; ++round) {
    VXB_CHECK(round <= n / 4 + 1);  // every read takes at least a 4-byte prefix
    vxb::Received m;
    const int rc = reader.Read(&m);
    const bool closed = link.DataSocket() == plat::kInvalidSocket;
    // A failed read closed the link and handed nothing up.
    VXB_CHECK(rc == 0 || (closed && m.kind == vxb::NoMessage && m.answer == nullptr));
    const size_t left = n - position;
    // The end of the stream, or a prefix cut short.
    if (left < 4) return VXB_CHECK(rc == -6), 0;
    const uint32_t length = vxbfuzz::Le32(data + position);
    const uint8_t* message = data + position + 4;
    // No block may hold it: the stream is given up.
    if (length >= RecvBuffer::kMaximumCapacity) return VXB_CHECK(rc == -9), 0;
    // A message cut off by the end of the stream is never handed up.
    if (left - 4 < length) return VXB_CHECK(rc == -6), 0;

    if (vxbfuzz::Tagged(message, length, "RET ")) {
      // The body as sent in a block of its own, NUL-terminated, placed on
      // the page as the frame is, parsing as the frame's bytes do.
      VXB_CHECK(rc == 0 && m.kind == vxb::Response && m.answer != nullptr && m.call.name.empty());
      const vxb::Answer& a = *m.answer;
      VXB_CHECK(a.block.used == length && a.block.used < a.block.capacity && a.block.data[length] == 0 &&
                std::memcmp(a.block.data, message, length) == 0 &&
                reinterpret_cast<uintptr_t>(a.block.data) % plat::kPageSize == RecvBuffer::kBodyOffset);
      uint32_t expectedLength = 0;
      int32_t expectedCode = 0;
      const uint8_t* expected = vxb::ParseResponse(message, length, &expectedLength, &expectedCode);
      VXB_CHECK(a.code == expectedCode && a.length == expectedLength);
      VXB_CHECK(a.text == nullptr ? expected == nullptr : a.text - a.block.data == expected - message);
      vxb::LetGo(m.answer);
    } else {
      // A call or system call is parsed as its bytes are; any other tag (or
      // none, under 4 bytes) is consumed and delivers nothing.
      vxb::IncomingMessage expected;
      if (vxbfuzz::Tagged(message, length, "EXE ")) VXB_CHECK(vxb::ParseCall(message, length, expected));
      if (vxbfuzz::Tagged(message, length, "SYS ")) VXB_CHECK(vxb::ParseSystemCall(message, length, expected));
      VXB_CHECK(rc == 0 && m.kind == expected.kind && m.answer == nullptr && m.call.name == expected.name &&
                m.call.args == expected.args);
    }
    position += 4 + size_t{length};
  }
}
