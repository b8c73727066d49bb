// The fake connection that the delivery tests rely on behaves like the real client.
#include "tests/support/scripted_tcp_client.h"

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

TEST(ScriptedTcpClientTest, ConnectNotificationsAndRefusal) {
  FakeClock clock;
  ScriptedPeer peer(clock);
  ScriptedTcpClient client(peer);
  int connected = 0;
  int disconnected = 0;
  client.SetOnConnected([&] {
    EXPECT_TRUE(client.Connected());  // runs inside Connect, once the connection is up
    ++connected;
  });
  client.SetOnDisconnected([&] { ++disconnected; });

  peer.SetRefuseConnections(true);
  EXPECT_FALSE(client.Connect("server", 7, 2500));
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.Write(Bytes{1}));
  EXPECT_EQ(connected, 0);

  peer.SetRefuseConnections(false);
  EXPECT_TRUE(client.Connect("server", 7, 2500));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(peer.ConnectAttempts(), 2);
  EXPECT_EQ(peer.LastHost(), "server");
  EXPECT_EQ(peer.LastPort(), 7);
  EXPECT_EQ(peer.LastConnectTimeoutMs(), 2500);

  peer.CloseFromPeer();  // no notification for a peer close by itself
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(disconnected, 0);
  client.Disconnect();  // but Disconnect still ends the connection that was open
  EXPECT_EQ(disconnected, 1);

  EXPECT_TRUE(client.Connect("server", 7, 2500));
  EXPECT_TRUE(client.Connect("server", 7, 2500));  // closes the open one first
  EXPECT_EQ(disconnected, 2);
  client.Disconnect();
  client.Disconnect();
  EXPECT_EQ(disconnected, 3);
  EXPECT_EQ(peer.Disconnects(), 3);
}

TEST(ScriptedTcpClientTest, UnreadDataDiesWithItsConnection) {
  FakeClock clock;
  ScriptedPeer peer(clock);
  peer.Push(Bytes{1, 2});  // before any connection: waits for the next one
  auto factory = peer.Factory();
  auto first = factory();
  ASSERT_TRUE(first->Connect("h", 1, 100));
  Bytes got;
  EXPECT_EQ(first->Read(1, 1000, got), TcpClient::ReadEnd::Complete);
  EXPECT_EQ(got, Bytes{1});

  first.reset();  // released while connected: the byte 2 is gone
  EXPECT_FALSE(peer.ConnectionOpen());
  auto second = factory();
  ASSERT_TRUE(second->Connect("h", 1, 100));
  got.clear();
  const std::uint32_t before = clock.TickMs();
  EXPECT_EQ(second->Read(1, 1000, got), TcpClient::ReadEnd::Timeout);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(clock.TickMs() - before, 1000u);
}

TEST(ScriptedTcpClientTest, ResponderAnswersWrites) {
  FakeClock clock;
  ScriptedPeer peer(clock);
  peer.SetOnWrite([&](ByteView written) { peer.Push(Bytes(written.begin(), written.end()), 50); });
  ScriptedTcpClient client(peer);
  ASSERT_TRUE(client.Connect("h", 1, 100));
  ASSERT_TRUE(client.Write(Bytes{9, 8}));
  Bytes got;
  const std::uint32_t before = clock.TickMs();
  EXPECT_EQ(client.Read(2, 1000, got), TcpClient::ReadEnd::Complete);
  EXPECT_EQ(got, (Bytes{9, 8}));
  EXPECT_EQ(clock.TickMs() - before, 50u);
  EXPECT_EQ(peer.Writes(), (std::vector<Bytes>{Bytes{9, 8}}));
}

}  // namespace
}  // namespace kestrel::test
