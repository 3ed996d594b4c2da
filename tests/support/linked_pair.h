// A SocketLink connected to a TestPeer, for transport tests: in client mode
// the link connects to the peer, in server mode the peer connects to a
// listener and the link takes the accepted socket.
#pragma once

#include <gtest/gtest.h>

#include "test_peer.h"
#include "test_support.h"
#include "transport/listener.h"
#include "transport/socket_link.h"

namespace vxtest {

struct LinkedPair {
  TestPeer peer;
  vxb::SocketLink link;

  explicit LinkedPair(bool serverMode = false) {
    if (serverMode) {
      vxb::Listener listener;
      EXPECT_EQ(listener.Open(0), 0);
      EXPECT_TRUE(peer.ConnectTo(listener.Port()));
      vxb::plat::Socket accepted = vxb::plat::kInvalidSocket;
      EXPECT_TRUE(WaitUntil([&] { return (accepted = listener.Accept()) != vxb::plat::kInvalidSocket; }));
      EXPECT_EQ(link.Adopt(accepted), 0);
      return;
    }
    EXPECT_EQ(link.Connect("127.0.0.1", peer.Listen()), 0);
    EXPECT_TRUE(peer.WaitConnected());
  }
};

}  // namespace vxtest
