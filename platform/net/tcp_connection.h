// A TCP client connection for the virtual card: connects to a local port and moves whole byte
// runs. The socket is tuned for small request/response exchanges: TCP_NODELAY is set once and
// TCP_QUICKACK again after every read, because Linux clears it and the peer's split writes would
// otherwise wait for delayed acknowledgements (about 50 ms per round trip instead of 0.1 ms).
//
// One thread reads and writes; any other thread may call Shutdown() to wake a blocked read, which
// then reports the end of the stream. The descriptor is closed only by the destructor, so a
// Shutdown() racing with a read never touches a reused descriptor.
#ifndef VARLO_PLATFORM_NET_TCP_CONNECTION_H_
#define VARLO_PLATFORM_NET_TCP_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace varlo::platform {

class TcpConnection {
 public:
  // Connects to host:port (host is a name or an address; "localhost" for the local machine).
  // Returns nullptr when nobody accepts (connection refused, host unknown); `error` gets the
  // reason in words. `lowLatency` false leaves Nagle's algorithm and delayed acknowledgements
  // as they are (for measuring what the tuning buys).
  static std::unique_ptr<TcpConnection> Connect(const std::string& host, std::uint16_t port,
                                                std::string* error = nullptr,
                                                bool lowLatency = true);

  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Fills `bytes` completely. False when the peer closed the stream, the connection failed or
  // Shutdown() was called before all bytes arrived.
  bool ReadExact(std::span<std::uint8_t> bytes);

  // Sends all of `bytes`. False when the connection failed.
  bool WriteAll(std::span<const std::uint8_t> bytes);

  // Ends the connection in both directions; a blocked ReadExact returns false. Thread-safe.
  void Shutdown();

  // Makes ReadExact give up (false) when no byte arrived for this long; zero: wait forever.
  void SetReadTimeout(std::chrono::milliseconds timeout);

 private:
  friend class TcpListener;
  TcpConnection(int fd, bool lowLatency) : fd_(fd), lowLatency_(lowLatency) {}
  int fd_;
  bool lowLatency_;
};

// A listening socket on the loopback interface, for tests that play the peer of a
// TcpConnection (a fake vpcd driver).
class TcpListener {
 public:
  // Listens on 127.0.0.1:port; port 0 picks a free port. nullptr on failure, with the reason.
  static std::unique_ptr<TcpListener> Listen(std::uint16_t port = 0, std::string* error = nullptr);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  std::uint16_t Port() const { return port_; }

  // The next connection, or nullptr when none came before the deadline. Accepted connections
  // have TCP_NODELAY set, like outgoing ones.
  std::unique_ptr<TcpConnection> Accept(std::chrono::steady_clock::time_point deadline);

 private:
  TcpListener(int fd, std::uint16_t port) : fd_(fd), port_(port) {}
  int fd_;
  std::uint16_t port_;
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_NET_TCP_CONNECTION_H_
