#include "platform/daemon/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace varlo::platform {

bool NotifyServiceManager(std::string_view state) {
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  if (socketName == nullptr || socketName[0] == '\0')
    return false;
  const std::string name(socketName);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof(address.sun_path) || (name[0] != '/' && name[0] != '@'))
    return false;
  std::memcpy(address.sun_path, name.data(), name.size());
  if (name[0] == '@')
    address.sun_path[0] = '\0';  // an abstract socket
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace varlo::platform
