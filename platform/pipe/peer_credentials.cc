#include "platform/pipe/peer_credentials.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>

namespace varlo::platform {

bool PeerCredentials::InGroup(std::uint32_t group) const {
  return gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::optional<PeerCredentials> ReadPeerCredentials(PipeHandle handle) {
  const int fd = static_cast<int>(handle);
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) < 0 ||
      size != sizeof(credentials)) {
    return std::nullopt;
  }
  PeerCredentials peer;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;

  // The kernel says how much room the list needs when the first guess is too small.
  std::vector<gid_t> groups(32);
  for (int attempt = 0; attempt < 3; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      peer.groups.assign(groups.begin(), groups.end());
      return peer;
    }
    if (errno != ERANGE)
      return std::nullopt;
    groups.resize(bytes / sizeof(gid_t) + 1);
  }
  return std::nullopt;
}

}  // namespace varlo::platform
