// ReadMessage over a real loopback connection: the input is the byte stream
// a viewer sends before it closes its end. ReadMessage is called until it
// fails, and every result is checked against the frames of the input.
#include <algorithm>

#include "fuzz_check.h"
#include "transport/socket_link.h"
#include "transport/wire_format.h"

namespace plat = vxb::plat;
using vxb::SocketLink;

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
  SocketLink link;
  VXB_CHECK(port != 0 && link.Connect("127.0.0.1", port) == 0);
  const plat::Socket viewer = plat::Accept(listener);
  VXB_CHECK(viewer != plat::kInvalidSocket && (n == 0 || plat::Send(viewer, data, static_cast<int>(n)) == static_cast<int>(n)));
  plat::CloseSocket(viewer);

  for (size_t position = 0, round = 0;; ++round) {
    VXB_CHECK(round <= n / 4 + 1);  // every read takes at least a 4-byte prefix
    vxb::IncomingMessage m;
    const int rc = vxb::ReadMessage(link, m);
    const bool closed = link.DataSocket() == plat::kInvalidSocket;
    const size_t left = n - position;
    // The end of the stream, or a prefix cut short.
    if (left < 4) return VXB_CHECK(rc == -6 && m.kind == vxb::NoMessage), 0;
    const uint32_t length = vxbfuzz::Le32(data + position);
    const uint8_t* message = data + position + 4;
    const size_t present = left - 4;
    // No buffer may hold it: the stream is given up.
    if (length >= SocketLink::kMaximumCapacity) return VXB_CHECK(rc == -9 && m.kind == vxb::NoMessage && closed), 0;
    // Not even the tag arrived.
    if (present < std::min<size_t>(length, 4)) return VXB_CHECK(rc == -6 && m.kind == vxb::NoMessage), 0;
    const bool whole = present >= length;

    if (vxbfuzz::Tagged(message, length, "RET ")) {
      VXB_CHECK(m.kind == vxb::Response && m.name.empty() && m.args.empty());
      const vxb::RecvBuffer* slot = link.Buffer(vxb::ResponseSlot);
      VXB_CHECK(slot != nullptr && slot->data != nullptr && slot->used < slot->capacity);
      uint32_t payloadLength = 0, expectedLength = 0;
      int32_t code = 0, expectedCode = 0;
      const uint8_t* payload = vxb::ParseResponse(slot->data, slot->used, &payloadLength, &code);
      if (!whole) {
        // The viewer left in the middle of the response: what arrived never
        // passes for an answer, whether the read fails or not.
        VXB_CHECK(closed && (rc == -6 || (rc == 0 && payload == nullptr && code == -10)));
        if (rc != 0) return 0;
        position = n;
        continue;
      }
      // The body as sent, NUL-terminated, parsing as the frame's bytes do.
      VXB_CHECK(rc == 0 && slot->used == length && std::memcmp(slot->data, message, length) == 0 && slot->data[length] == 0);
      const uint8_t* expected = vxb::ParseResponse(message, length, &expectedLength, &expectedCode);
      VXB_CHECK(code == expectedCode && payloadLength == expectedLength);
      VXB_CHECK(payload == nullptr ? expected == nullptr : payload - slot->data == expected - message);
    } else if (!whole) {
      // A call cut short is never delivered.
      return VXB_CHECK(rc == -6 && m.kind == vxb::NoMessage && closed), 0;
    } else {
      // Any other tag (or none, under 4 bytes) is consumed and delivers nothing.
      vxb::IncomingMessage expected;
      if (vxbfuzz::Tagged(message, length, "EXE ")) VXB_CHECK(vxb::ParseCall(message, length, expected));
      if (vxbfuzz::Tagged(message, length, "SYS ")) VXB_CHECK(vxb::ParseSystemCall(message, length, expected));
      VXB_CHECK(rc == 0 && m.kind == expected.kind && m.name == expected.name && m.args == expected.args);
    }
    position += 4 + size_t{length};
  }
}
