#include "platform/net/tcp_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/socket_io.h"

namespace varlo::platform {

namespace {

void SetQuickAck(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

void SetNoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, std::uint16_t port,
                                                      std::string* error, bool lowLatency) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    if (error)
      *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
    return nullptr;
  }
  std::string last_error = "no address for " + host;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      last_error = std::strerror(errno);
      close(fd);
      continue;
    }
    if (lowLatency) {
      SetNoDelay(fd);
      SetQuickAck(fd);
    }
    freeaddrinfo(found);
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd, lowLatency));
  }
  freeaddrinfo(found);
  if (error)
    *error = last_error;
  return nullptr;
}

TcpConnection::~TcpConnection() {
  close(fd_);
}

bool TcpConnection::ReadExact(std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = recv(fd_, bytes.data() + done, bytes.size() - done, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
    // Linux clears quick acknowledgement after a while; set it again after every read.
    if (lowLatency_)
      SetQuickAck(fd_);
  }
  return true;
}

bool TcpConnection::WriteAll(std::span<const std::uint8_t> bytes) {
  return SendAll(fd_, bytes.data(), bytes.size());
}

void TcpConnection::Shutdown() {
  shutdown(fd_, SHUT_RDWR);
}

void TcpConnection::SetReadTimeout(std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::unique_ptr<TcpListener> TcpListener::Listen(std::uint16_t port, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error)
      *error = std::strerror(errno);
    return nullptr;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (error)
      *error = std::strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<TcpListener>(new TcpListener(fd, ntohs(address.sin_port)));
}

TcpListener::~TcpListener() {
  close(fd_);
}

std::unique_ptr<TcpConnection> TcpListener::Accept(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return nullptr;
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED)
        continue;
      return nullptr;
    }
    SetNoDelay(fd);
    SetQuickAck(fd);
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd, true));
  }
}

}  // namespace varlo::platform
