#include "platform/net/tcp_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace varlo::platform {
namespace {

// A listening socket on an ephemeral loopback port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (peer_ >= 0)
      close(peer_);
    close(fd_);
  }
  std::uint16_t Port() const { return port_; }
  int Accept() { return peer_ = accept(fd_, nullptr, nullptr); }
  void ClosePeer() {
    close(peer_);
    peer_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  std::uint16_t port_ = 0;
};

TEST(TcpConnectionTest, ExchangesBytesWithNoDelaySet) {
  Listener listener;
  auto c = TcpConnection::Connect("localhost", listener.Port());
  ASSERT_NE(c, nullptr);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  const std::uint8_t out[] = {1, 2, 3};
  ASSERT_TRUE(c->WriteAll(out));
  std::uint8_t got[3] = {};
  ASSERT_EQ(recv(peer, got, 3, MSG_WAITALL), 3);
  EXPECT_EQ(got[2], 3);

  // Two separate writes are read as one run.
  ASSERT_EQ(send(peer, "\x05\x06", 2, 0), 2);
  ASSERT_EQ(send(peer, "\x07", 1, 0), 1);
  std::uint8_t in[3] = {};
  ASSERT_TRUE(c->ReadExact(in));
  EXPECT_EQ(in[0], 5);
  EXPECT_EQ(in[2], 7);

  listener.ClosePeer();
  EXPECT_FALSE(c->ReadExact(in));
}

TEST(TcpConnectionTest, RefusedConnectionSaysWhy) {
  std::uint16_t port;
  {
    Listener listener;
    port = listener.Port();
  }
  std::string error;
  EXPECT_EQ(TcpConnection::Connect("127.0.0.1", port, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(TcpConnectionTest, ShutdownWakesABlockedRead) {
  Listener listener;
  auto c = TcpConnection::Connect("127.0.0.1", listener.Port());
  ASSERT_NE(c, nullptr);
  ASSERT_GE(listener.Accept(), 0);
  bool result = true;
  std::thread reader([&] {
    std::uint8_t b[1];
    result = c->ReadExact(b);
  });
  c->Shutdown();
  reader.join();
  EXPECT_FALSE(result);
}

TEST(TcpListenerTest, AcceptsAndTimesOut) {
  auto listener = TcpListener::Listen();
  ASSERT_NE(listener, nullptr);
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  EXPECT_EQ(listener->Accept(soon), nullptr);

  auto client = TcpConnection::Connect("localhost", listener->Port());
  ASSERT_NE(client, nullptr);
  auto server = listener->Accept(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ASSERT_NE(server, nullptr);
  const std::uint8_t ping[] = {9};
  ASSERT_TRUE(server->WriteAll(ping));
  std::uint8_t got[1] = {};
  ASSERT_TRUE(client->ReadExact(got));
  EXPECT_EQ(got[0], 9);

  // With a read timeout, a silent peer ends the read instead of blocking it for good.
  server->SetReadTimeout(std::chrono::milliseconds(20));
  EXPECT_FALSE(server->ReadExact(got));
}

}  // namespace
}  // namespace varlo::platform
