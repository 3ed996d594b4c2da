// ReadMessage over a real connection: the input is the byte stream a viewer
// sends. Each input gets a fresh loopback connection to one listener kept
// for the whole run; the bytes are written, the viewer's end is closed, and
// ReadMessage is called until it fails. Every result is checked against the
// frames of the input, worked out here from the frame layout.
#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "transport/socket_link.h"
#include "transport/wire_format.h"

namespace {

namespace plat = vxb::plat;
using vxb::SocketLink;

// The whole input is written before anything is read, so it must fit in the
// socket buffers of a loopback connection: longer inputs are cut.
constexpr size_t kMaxStream = 32 * 1024;

struct Listener {
  plat::Socket socket = plat::kInvalidSocket;
  uint16_t port = 0;
};

const Listener& TheListener() {
  static const Listener listener = [] {
    // Sockets stay usable for the whole run, whatever the links start and
    // stop (Winsock).
    if (!plat::SocketsStart()) vxbfuzz::SetupFailed("socket start-up");
    Listener l;
    l.socket = plat::TcpSocket();
    if (l.socket == plat::kInvalidSocket) vxbfuzz::SetupFailed("socket");
    if (plat::BindAny(l.socket, 0) != 0 || plat::Listen(l.socket, 4) != 0) {
      vxbfuzz::SetupFailed("listen");
    }
    l.port = plat::LocalPort(l.socket);
    if (l.port == 0) vxbfuzz::SetupFailed("listening port");
    return l;
  }();
  return listener;
}

// The viewer's end of one connection; closed at the latest when it goes.
class ViewerEnd {
 public:
  explicit ViewerEnd(plat::Socket s) : s_(s) {}
  ~ViewerEnd() { Close(); }
  ViewerEnd(const ViewerEnd&) = delete;
  ViewerEnd& operator=(const ViewerEnd&) = delete;
  plat::Socket get() const { return s_; }
  void Close() {
    if (s_ != plat::kInvalidSocket) plat::CloseSocket(s_);
    s_ = plat::kInvalidSocket;
  }

 private:
  plat::Socket s_;
};

uint32_t LittleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Tagged(const uint8_t* message, size_t length, const char* tag) {
  return length >= 4 && std::memcmp(message, tag, 4) == 0;
}

}  // namespace

VXB_FUZZ_ENTRY(read_message) {
  const size_t n = std::min(size, kMaxStream);
  const Listener& listener = TheListener();

  SocketLink link;
  if (link.Open("127.0.0.1", listener.port, SocketLink::kClientMode) != 0) {
    vxbfuzz::SetupFailed("connect");
  }
  ViewerEnd viewer(plat::Accept(listener.socket));
  if (viewer.get() == plat::kInvalidSocket) vxbfuzz::SetupFailed("accept");
  if (n > 0 && plat::Send(viewer.get(), data, static_cast<int>(n)) != static_cast<int>(n)) {
    vxbfuzz::SetupFailed("send");
  }
  viewer.Close();

  size_t position = 0;
  for (size_t round = 0;; ++round) {
    // Every message read takes at least its 4-byte prefix off the stream.
    VXB_CHECK(round <= n / 4 + 1);
    vxb::IncomingMessage m;
    const int rc = vxb::ReadMessage(link, m);

    const size_t left = n - position;
    if (left < 4) {
      // The end of the stream, or a prefix cut short.
      VXB_CHECK(rc == -6);
      VXB_CHECK(m.kind == vxb::NoMessage);
      break;
    }
    const uint32_t length = LittleEndian(data + position);
    const uint8_t* message = data + position + 4;
    const size_t present = left - 4;
    if (length >= SocketLink::kMaximumCapacity) {
      // No buffer may hold it: the stream is given up.
      VXB_CHECK(rc == -9);
      VXB_CHECK(m.kind == vxb::NoMessage);
      VXB_CHECK(link.DataSocket() == plat::kInvalidSocket);
      break;
    }
    if (present < std::min<size_t>(length, 4)) {
      // Not even the tag arrived.
      VXB_CHECK(rc == -6);
      VXB_CHECK(m.kind == vxb::NoMessage);
      break;
    }
    const bool whole = present >= length;

    if (Tagged(message, length, "RET ")) {
      VXB_CHECK(m.kind == vxb::Response);
      VXB_CHECK(m.name.empty() && m.args.empty());
      const vxb::RecvBuffer* slot = link.Buffer(vxb::ResponseSlot);
      VXB_CHECK(slot != nullptr && slot->data != nullptr);
      VXB_CHECK(slot->used < slot->capacity);
      uint32_t payloadLength = 0;
      int32_t code = 0;
      const uint8_t* payload =
          vxb::ParseResponse(slot->data, slot->used, &payloadLength, &code);
      if (payload != nullptr) {
        VXB_CHECK(payload >= slot->data && payload + payloadLength <= slot->data + slot->used);
      }
      if (!whole) {
        // The viewer went away in the middle of the response: the link is
        // closed, and what arrived never passes for an answer. Either the
        // read fails, or it succeeds with a slot the parse rejects.
        VXB_CHECK(link.DataSocket() == plat::kInvalidSocket);
        VXB_CHECK(rc == -6 || (rc == 0 && payload == nullptr && code == -10));
        if (rc != 0) break;
        position = n;  // nothing more can come
        continue;
      }
      // The body as sent, NUL-terminated, parsing as the frame's bytes do.
      VXB_CHECK(rc == 0);
      VXB_CHECK(slot->used == length);
      VXB_CHECK(std::memcmp(slot->data, message, length) == 0);
      VXB_CHECK(slot->data[length] == 0);
      uint32_t expectedLength = 0;
      int32_t expectedCode = 0;
      const uint8_t* expected =
          vxb::ParseResponse(message, length, &expectedLength, &expectedCode);
      VXB_CHECK(code == expectedCode && payloadLength == expectedLength);
      VXB_CHECK((payload == nullptr) == (expected == nullptr));
      if (payload != nullptr) VXB_CHECK(payload - slot->data == expected - message);
    } else if (!whole) {
      // A call cut short is never delivered.
      VXB_CHECK(rc == -6);
      VXB_CHECK(m.kind == vxb::NoMessage);
      VXB_CHECK(link.DataSocket() == plat::kInvalidSocket);
      break;
    } else {
      VXB_CHECK(rc == 0);
      vxb::IncomingMessage expected;
      if (Tagged(message, length, "EXE ")) {
        VXB_CHECK(vxb::ParseCall(message, length, expected));
      } else if (Tagged(message, length, "SYS ")) {
        VXB_CHECK(vxb::ParseSystemCall(message, length, expected));
      }
      // Any other tag (or none, for a message under 4 bytes) is consumed
      // and delivers nothing.
      VXB_CHECK(m.kind == expected.kind);
      VXB_CHECK(m.name == expected.name);
      VXB_CHECK(m.args == expected.args);
      VXB_CHECK(m.args.find('\n') == std::string::npos);
    }
    position += 4 + static_cast<size_t>(length);
  }
  return 0;
}
