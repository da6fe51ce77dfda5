// Whole-buffer transfers on a connected socket, shared by the platform's socket users.
#ifndef VARLO_PLATFORM_POSIX_SOCKET_IO_H_
#define VARLO_PLATFORM_POSIX_SOCKET_IO_H_

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace varlo::platform {

// Sends all `size` bytes (retrying after signals and short writes) without raising SIGPIPE
// when the peer has gone. False when the socket fails or closes first.
inline bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_POSIX_SOCKET_IO_H_
