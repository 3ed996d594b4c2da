// A SocketLink connected to a TestPeer, for transport tests: in client mode
// the link connects to the peer, in server mode the peer connects to the
// link and the link accepts it.
#pragma once

#include <gtest/gtest.h>

#include "test_peer.h"
#include "test_support.h"
#include "transport/socket_link.h"

namespace vxtest {

struct LinkedPair {
  TestPeer peer;
  vxb::SocketLink link;

  explicit LinkedPair(bool serverMode = false) {
    if (serverMode) {
      EXPECT_EQ(link.Open("localhost", 0, vxb::SocketLink::kServerMode), 0);
      EXPECT_TRUE(peer.ConnectTo(link.ListenPort()));
      EXPECT_TRUE(WaitUntil([this] { return link.Accept(); }));
      return;
    }
    EXPECT_EQ(link.Open("127.0.0.1", peer.Listen(), vxb::SocketLink::kClientMode), 0);
    EXPECT_TRUE(peer.WaitConnected());
  }
};

}  // namespace vxtest
