#include "platform/qt_tcp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A loopback server on a plain socket, driven by the test thread. Every wait is
// bounded.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen on the loopback";
    }
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackServer() {
    CloseConnection();
    if (listener_ >= 0) ::close(listener_);
  }

  std::uint16_t Port() const { return port_; }

  bool Accept(int timeoutMs = 5000) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
  }
  void Send(const Bytes& data) {
    ASSERT_EQ(::send(conn_, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
  }
  // Reads exactly n bytes, or what arrives before timeoutMs or the close.
  Bytes Receive(std::size_t n, int timeoutMs = 5000) {
    Bytes out;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      pollfd p{conn_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) break;
      std::uint8_t buf[65536];
      const ssize_t got = ::recv(conn_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // True when the client has closed its end (within timeoutMs).
  bool PeerClosed(int timeoutMs = 5000) {
    pollfd p{conn_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    std::uint8_t b;
    return ::recv(conn_, &b, 1, MSG_PEEK) <= 0;
  }
  void CloseConnection() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }
  void StopListening() {
    ::close(listener_);
    listener_ = -1;
  }

 private:
  int listener_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
};

// The link worker's situation: a plain std::thread without any Qt event loop
// (and no application object) creates and uses the client.
void OnPlainThread(const std::function<void()>& body) {
  std::thread worker(body);
  worker.join();
}

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

struct Calls {
  int connected = 0;
  int disconnected = 0;
  bool connectedInsideConnect = false;
};

void Watch(TcpClient& client, Calls& calls) {
  client.SetOnConnected([&client, &calls] {
    ++calls.connected;
    calls.connectedInsideConnect = client.Connected();
  });
  client.SetOnDisconnected([&calls] { ++calls.disconnected; });
}

TEST(QtTcpClient, ConnectWriteReadDisconnectOnAPlainThread) {
  LoopbackServer server;
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(server.Receive(4), B({1, 2, 3, 4}));
    server.Send(B({9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_TRUE(server.PeerClosed());
  });
  OnPlainThread([&] {
    auto client = MakeQtTcpClientFactory()();
    Calls calls;
    Watch(*client, calls);
    ASSERT_TRUE(client->Connect("127.0.0.1", server.Port(), 2500));
    EXPECT_EQ(calls.connected, 1);
    EXPECT_TRUE(calls.connectedInsideConnect);
    EXPECT_TRUE(client->Connected());
    EXPECT_TRUE(client->Write(B({1, 2, 3, 4})));

    Bytes got = B({0xEE});  // Read appends
    EXPECT_EQ(client->Read(3, 2000, got), TcpClient::ReadEnd::Complete);
    EXPECT_EQ(got, B({0xEE, 9, 8, 7}));
    got.clear();
    EXPECT_EQ(client->Read(5, 2000, got), TcpClient::ReadEnd::Complete);
    EXPECT_EQ(got, B({6, 5, 4, 3, 2}));
    EXPECT_EQ(client->Read(0, 2000, got), TcpClient::ReadEnd::Complete);

    client->Disconnect();
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(calls.disconnected, 1);
    client->Disconnect();  // nothing open any more: no second callback
    EXPECT_EQ(calls.disconnected, 1);
  });
  serverSide.join();
}

TEST(QtTcpClient, PendingDataIsToldWithoutWaiting) {
  LoopbackServer server;
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(server.Receive(1), B({1}));
    server.Send(B({7, 8}));
    EXPECT_TRUE(server.PeerClosed());
  });
  OnPlainThread([&] {
    QtTcpClient client;
    EXPECT_FALSE(client.HasPendingData()) << "not connected";
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Port(), 2500));
    EXPECT_FALSE(client.HasPendingData()) << "nothing sent yet";
    ASSERT_TRUE(client.Write(B({1})));
    const auto start = steady_clock::now();
    while (!client.HasPendingData() && steady_clock::now() - start < milliseconds(3000)) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(client.HasPendingData());
    Bytes got;
    EXPECT_EQ(client.Read(2, 1000, got), TcpClient::ReadEnd::Complete);
    EXPECT_EQ(got, B({7, 8}));
    EXPECT_FALSE(client.HasPendingData()) << "all taken";
    client.Disconnect();
    EXPECT_FALSE(client.HasPendingData());
  });
  serverSide.join();
}

TEST(QtTcpClient, ReadTimesOutAndKeepsWhatArrived) {
  LoopbackServer server;
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    server.Send(B({1, 2}));
    EXPECT_TRUE(server.PeerClosed());
  });
  OnPlainThread([&] {
    QtTcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Port(), 2500));
    Bytes got;
    const auto start = steady_clock::now();
    EXPECT_EQ(client.Read(4, 200, got), TcpClient::ReadEnd::Timeout);
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(got, B({1, 2}));
    EXPECT_GE(took, milliseconds(150));
    EXPECT_LT(took, milliseconds(3000));
    EXPECT_TRUE(client.Connected());  // a quiet server is not a broken link
    got.clear();
    EXPECT_EQ(client.Read(1, 0, got), TcpClient::ReadEnd::Timeout);
    EXPECT_EQ(client.Read(1, -5, got), TcpClient::ReadEnd::Timeout);  // never waits forever
    client.Disconnect();
  });
  serverSide.join();
}

TEST(QtTcpClient, PeerCloseEndsTheReadAndDisconnectStillReportsIt) {
  LoopbackServer server;
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    server.Send(B({5, 6, 7}));
    server.CloseConnection();
  });
  OnPlainThread([&] {
    QtTcpClient client;
    Calls calls;
    Watch(client, calls);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Port(), 2500));
    Bytes got;
    const auto start = steady_clock::now();
    EXPECT_EQ(client.Read(10, 5000, got), TcpClient::ReadEnd::Closed);
    EXPECT_LT(steady_clock::now() - start, milliseconds(4000));  // not the whole timeout
    EXPECT_EQ(got, B({5, 6, 7}));  // bytes sent before the close are delivered
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Read(1, 100, got), TcpClient::ReadEnd::Closed);
    EXPECT_FALSE(client.Write(B({1})));
    EXPECT_EQ(calls.disconnected, 0);  // only Disconnect runs the callback
    client.Disconnect();
    EXPECT_EQ(calls.disconnected, 1);
  });
  serverSide.join();
}

TEST(QtTcpClient, RefusedAndUnreachableConnectionsFailWithinTheirTime) {
  LoopbackServer closed;
  const std::uint16_t port = closed.Port();
  closed.StopListening();  // nothing listens there now: the connection is refused
  OnPlainThread([&] {
    QtTcpClient client;
    Calls calls;
    Watch(client, calls);
    struct Case {
      const char* host;
      std::uint16_t port;
    };
    // 192.0.2.1 is a documentation address: nothing answers (or there is no route).
    for (const Case& c : {Case{"127.0.0.1", port}, Case{"192.0.2.1", 12543},
                          Case{"no-such-host.invalid", 12543}, Case{"", 12543}}) {
      SCOPED_TRACE(c.host);
      const auto start = steady_clock::now();
      EXPECT_FALSE(client.Connect(c.host, c.port, 300));
      EXPECT_LT(steady_clock::now() - start, milliseconds(10000));
      EXPECT_FALSE(client.Connected());
      Bytes got;
      EXPECT_EQ(client.Read(1, 50, got), TcpClient::ReadEnd::Closed);
      EXPECT_FALSE(client.Write(B({1})));
      client.Disconnect();
    }
    EXPECT_EQ(calls.connected, 0);
    EXPECT_EQ(calls.disconnected, 0);
  });
}

TEST(QtTcpClient, ReconnectClosesTheOldConnectionFirstAndHostNamesResolve) {
  LoopbackServer server;
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    EXPECT_TRUE(server.PeerClosed());
    server.CloseConnection();
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(server.Receive(1), B({42}));
  });
  OnPlainThread([&] {
    QtTcpClient client;
    std::vector<std::string> order;
    client.SetOnConnected([&] { order.push_back("up"); });
    client.SetOnDisconnected([&] { order.push_back("down"); });
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Port(), 2500));
    ASSERT_TRUE(client.Connect("localhost", server.Port(), 2500));
    EXPECT_TRUE(client.Write(B({42})));
    EXPECT_EQ(order, (std::vector<std::string>{"up", "down", "up"}));
  });  // destroyed without Disconnect: closes quietly
  serverSide.join();
}

TEST(QtTcpClient, LargeWriteArrivesWhole) {
  LoopbackServer server;
  Bytes big(4 << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::thread serverSide([&] {
    ASSERT_TRUE(server.Accept());
    EXPECT_TRUE(server.Receive(big.size(), 20000) == big);
  });
  OnPlainThread([&] {
    QtTcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.Port(), 2500));
    EXPECT_TRUE(client.Write(big));
    EXPECT_TRUE(client.Write({}));
  });
  serverSide.join();
}

}  // namespace
}  // namespace kestrel
