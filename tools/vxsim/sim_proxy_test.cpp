// The proxy between a host and a viewer of the test's own, both raw
// sockets: every byte passes unchanged both ways (segments split anyhow,
// frames back to back, 2 MB messages written by both sides at once), and the
// recording holds each frame whole with its side; recordings read from
// literal files, and refused with their line.
#include "sim_os.h"
#include "sim_proxy.h"
#include "sim_recording.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

namespace vxsim {
namespace {

using namespace std::string_literals;

// A host and a viewer, each connected to its end of a relay that runs on a
// thread of its own and writes its recording into `recorded`.
class Relayed : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(os::startNetwork(err)) << err;
    host_ = pair(proxyHost_);
    viewer_ = pair(proxyViewer_);
    std::swap(viewer_, proxyViewer_);  // the proxy connects to the viewer
    relay_ = std::thread([this] { closedBy_ = relay(proxyHost_, proxyViewer_, &writer_, false); });
  }

  void TearDown() override {
    if (relay_.joinable()) relay_.join();
    for (os::Socket s : {host_, viewer_, proxyHost_, proxyViewer_}) os::closeSocket(s);
  }

  // A connected pair: returns the connecting end, the accepted one in `accepted`.
  static os::Socket pair(os::Socket& accepted) {
    std::uint16_t port = 0;
    std::string err;
    const os::Socket listener = os::listenTcp(0, port, err);
    const os::Socket client = os::connectTcp("127.0.0.1", port, err);
    accepted = os::acceptClient(listener, err);
    os::closeSocket(listener);
    EXPECT_NE(accepted, os::kNoSocket) << err;
    return client;
  }

  static void send(os::Socket s, const std::string& bytes) {
    std::string err;
    ASSERT_TRUE(os::sendAll(s, bytes.data(), bytes.size(), err)) << err;
  }

  // Exactly n bytes, or fewer when the peer closes first ("" once it has).
  static std::string receive(os::Socket s, std::size_t n) {
    std::string got(n, '\0');
    std::size_t have = 0;
    while (have < n) {
      const long r = os::receiveSome(s, &got[have], n - have);
      if (r <= 0) break;
      have += static_cast<std::size_t>(r);
    }
    return got.substr(0, have);
  }

  Recording recorded() {
    relay_.join();
    Recording r;
    std::string err;
    writer_.end(closedBy_);
    EXPECT_TRUE(parseRecording(out_.str(), r, err)) << err;
    return r;
  }

  os::Socket host_ = os::kNoSocket, viewer_ = os::kNoSocket;
  os::Socket proxyHost_ = os::kNoSocket, proxyViewer_ = os::kNoSocket;
  std::ostringstream out_;
  RecordingWriter writer_{out_};
  std::thread relay_;
  std::string closedBy_;
};

TEST_F(Relayed, PassesEveryByteUnchangedBothWaysAndRecordsWholeFrames) {
  writer_.beginSession();
  // A call in one-byte segments, prefix included.
  const std::string hello = "\x0F\0\0\0EXE Hello(1,2)\n"s;
  for (char c : hello) send(host_, std::string(1, c));
  EXPECT_EQ(receive(viewer_, hello.size()), hello);
  // The viewer's call and its answer back to back in one segment: a call
  // crossing the host's command.
  const std::string crossing = "\x0E\0\0\0EXE Notify(x)\n\x0A\0\0\0RET 0,2,hi"s;
  send(viewer_, crossing);
  EXPECT_EQ(receive(host_, crossing.size()), crossing);
  const std::string ok = "\x0A\0\0\0RET 0,2,OK"s;
  send(host_, ok.substr(0, 6));
  send(host_, ok.substr(6));
  EXPECT_EQ(receive(viewer_, ok.size()), ok);

  // 2 MB each way at once: neither direction may wait for the other.
  const std::string big = "EXE Load(" + std::string(2000000 - 11, 'x') + ")\n";
  const std::string bigAnswer = "RET 0,1999990," + std::string(1999990, '\xE9');
  const std::string bigFrame = "\x80\x84\x1E\0"s + big, bigAnswerFrame = "\x84\x84\x1E\0"s + bigAnswer;
  std::thread hostWrites([&] { send(host_, bigFrame); });
  std::thread viewerWrites([&] { send(viewer_, bigAnswerFrame); });
  EXPECT_EQ(receive(viewer_, bigFrame.size()), bigFrame);
  EXPECT_EQ(receive(host_, bigAnswerFrame.size()), bigAnswerFrame);
  hostWrites.join();
  viewerWrites.join();

  // The host leaves: the viewer sees the end, closes in turn, and so does
  // the host's side.
  os::shutdownSend(host_);
  EXPECT_EQ(receive(viewer_, 1), "");  // the end, nothing more
  os::shutdownSend(viewer_);
  EXPECT_EQ(receive(host_, 1), "");
  const Recording r = recorded();
  EXPECT_EQ(closedBy_, "host");
  ASSERT_EQ(r.sessions.size(), 1u);
  const std::vector<RecordedFrame>& f = r.sessions[0].frames;
  ASSERT_EQ(f.size(), 6u);
  const std::string head = "host|EXE Hello(1,2)\n|viewer|EXE Notify(x)\n|viewer|RET 0,2,hi|host|RET 0,2,OK|";
  std::string shown;
  for (std::size_t i = 0; i < 4; ++i) shown += std::string(sideName(f[i].side)) + "|" + f[i].message + "|";
  EXPECT_EQ(shown, head);
  // The two large ones in either order, each whole.
  const bool hostFirst = f[4].side == Side::Host;
  EXPECT_TRUE(f[hostFirst ? 4 : 5].message == big && f[hostFirst ? 5 : 4].message == bigAnswer);
  // The file as written: a header line per record, then the bytes.
  const std::string text = out_.str();
  EXPECT_EQ(text.compare(0, 33, "vxsim-recording 1\nsession 1\nhost "), 0) << text.substr(0, 60);
  EXPECT_NE(text.find(" 15\nEXE Hello(1,2)\n\nviewer "), std::string::npos);
  EXPECT_NE(text.find(" 10\nRET 0,2,hi\nhost "), std::string::npos);
}

TEST_F(Relayed, RecordsTheBytesOfAFrameCutShortByTheViewersEnd) {
  writer_.beginSession();
  const std::string partial = "\x0A\0\0\0RET 0"s;
  send(viewer_, partial);
  os::shutdownSend(viewer_);
  EXPECT_EQ(receive(host_, 100), partial);  // then the end, passed on
  os::shutdownSend(host_);
  const Recording r = recorded();
  EXPECT_EQ(closedBy_, "viewer");
  ASSERT_EQ(r.sessions.at(0).frames.size(), 1u);
  EXPECT_TRUE(r.sessions[0].frames[0].cut);
  EXPECT_EQ(r.sessions[0].frames[0].message, partial);
  EXPECT_EQ(r.sessions[0].closedBy, "viewer");
}

TEST(SimRecording, ReadsRecordsByTheirLengthAndRefusesMalformedOnesWithTheirLine) {
  Recording r;
  std::string err;
  ASSERT_TRUE(parseRecording("vxsim-recording 1\r\n# note\nsession 1\nhost 0.5 8\nEXE A()\n\n"
                             "viewer 1.25 16\nRET 0,6,a\nhost 5\nend 2.0 viewer\n",
                             r, err))
      << err;
  ASSERT_EQ(r.sessions.size(), 1u);
  const std::vector<RecordedFrame>& f = r.sessions[0].frames;
  ASSERT_EQ(f.size(), 2u);
  EXPECT_TRUE(f[0].side == Side::Host && f[0].message == "EXE A()\n" && f[0].line == 4 && f[0].seconds == 0.5);
  EXPECT_TRUE(f[1].side == Side::Viewer && f[1].message == "RET 0,6,a\nhost 5" && f[1].line == 7);
  EXPECT_EQ(r.sessions[0].closedBy, "viewer");
  const std::pair<const char*, const char*> cases[] = {
      {"", "line 1: not a vxsim recording: the first line must be 'vxsim-recording 1'"},
      {"vxsim-recording 2\n", "line 1: recording format 2 is not one this vxsim reads (1)"},
      {"vxsim-recording 1\n", "line 1: the recording holds no session"},
      {"vxsim-recording 1\nhost 0.1 3\nabc\n",
       "line 2: 'host' outside a session (a session begins with 'session N')"},
      {"vxsim-recording 1\nsession 2\n", "line 2: expected 'session 1'"},
      {"vxsim-recording 1\nsession 1\nhost 0.1 5\nabc\n",
       "line 3: the record does not hold 5 bytes followed by a line feed"},
      {"vxsim-recording 1\nsession 1\nhost -1 0\n\n",
       "line 3: 'host' needs the seconds since the session began, as in 0.000412"},
      {"vxsim-recording 1\nsession 1\nend 1 host\nhost 1 0\n\n",
       "line 4: 'host' outside a session (a session begins with 'session N')"},
      {"vxsim-recording 1\nsession 1\nend 1 nobody\n", "line 3: expected 'end SECONDS host|viewer|proxy'"},
      {"vxsim-recording 1\nsession 1\nsent 0.1 2\nab\n",
       "line 3: unknown record 'sent' (session, host, viewer, host-cut, viewer-cut or end)"},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_FALSE(parseRecording(text, r, err)) << text;
    EXPECT_EQ(err, want) << text;
  }
}

}  // namespace
}  // namespace vxsim
