// A SocketLink connected as a client to a TestPeer, for transport tests.
#pragma once

#include <gtest/gtest.h>

#include "test_peer.h"
#include "transport/socket_link.h"

namespace vxtest {

struct LinkedPair {
  TestPeer peer;
  vxb::SocketLink link;

  LinkedPair() {
    const uint16_t port = peer.Listen();
    EXPECT_EQ(link.Open("127.0.0.1", port, vxb::SocketLink::kClientMode), 0);
    EXPECT_TRUE(peer.WaitConnected());
  }
};

}  // namespace vxtest
