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

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace varlo::platform {

class TcpConnection {
 public:
  // Connects to host:port (host is a name or an address; "localhost" for the local machine).
  // Returns nullptr when nobody accepts (connection refused, host unknown); `error` gets the
  // reason in words.
  static std::unique_ptr<TcpConnection> Connect(const std::string& host, std::uint16_t port,
                                                std::string* error = nullptr);

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

 private:
  explicit TcpConnection(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_NET_TCP_CONNECTION_H_
