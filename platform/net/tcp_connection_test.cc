#include "platform/net/tcp_connection.h"

#include <gtest/gtest.h>

#include <thread>

namespace varlo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A loopback listener, a connection to it and the listener's end of that connection.
struct Connected {
  std::unique_ptr<TcpListener> listener = TcpListener::Listen();
  std::unique_ptr<TcpConnection> client = TcpConnection::Connect("localhost", listener->Port());
  std::unique_ptr<TcpConnection> server = listener->Accept(Clock::now() + 5s);
};

TEST(TcpConnectionTest, ExchangesBytesBothWaysAndSeesThePeerGo) {
  Connected c;
  ASSERT_TRUE(c.client && c.server);
  EXPECT_EQ(c.listener->Accept(Clock::now() + 20ms), nullptr);  // nobody else: times out
  const std::uint8_t out[] = {1, 2, 3};
  std::uint8_t in[3] = {};
  ASSERT_TRUE(c.client->WriteAll(out));
  ASSERT_TRUE(c.server->ReadExact(in));
  EXPECT_EQ(in[2], 3);

  // Two separate writes are read as one run.
  ASSERT_TRUE(c.server->WriteAll(std::span(out).first(2)));
  ASSERT_TRUE(c.server->WriteAll(std::span(out).last(1)));
  in[0] = in[2] = 0;
  ASSERT_TRUE(c.client->ReadExact(in));
  EXPECT_EQ(in[0], 1);
  EXPECT_EQ(in[2], 3);

  // With a read timeout, a silent peer ends the read instead of blocking it for good.
  c.server->SetReadTimeout(20ms);
  EXPECT_FALSE(c.server->ReadExact(in));
  c.server.reset();
  EXPECT_FALSE(c.client->ReadExact(in));
}

TEST(TcpConnectionTest, RefusedConnectionSaysWhy) {
  const std::uint16_t port = TcpListener::Listen()->Port();  // closed again at once
  std::string error;
  EXPECT_EQ(TcpConnection::Connect("127.0.0.1", port, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(TcpConnectionTest, ShutdownWakesABlockedRead) {
  Connected c;
  ASSERT_TRUE(c.client && c.server);
  bool result = true;
  std::thread reader([&] {
    std::uint8_t b[1];
    result = c.client->ReadExact(b);
  });
  c.client->Shutdown();
  reader.join();
  EXPECT_FALSE(result);
}

}  // namespace
}  // namespace varlo::platform
