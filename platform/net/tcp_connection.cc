#include "platform/net/tcp_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varlo::platform {

namespace {

void SetQuickAck(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, std::uint16_t port,
                                                      std::string* error) {
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
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SetQuickAck(fd);
    freeaddrinfo(found);
    return std::unique_ptr<TcpConnection>(new TcpConnection(fd));
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
    SetQuickAck(fd_);
  }
  return true;
}

bool TcpConnection::WriteAll(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void TcpConnection::Shutdown() {
  shutdown(fd_, SHUT_RDWR);
}

}  // namespace varlo::platform
