// Who is at the other end of an accepted local pipe connection, as the kernel recorded it when
// the client connected (SO_PEERCRED, SO_PEERGROUPS). Unlike anything the client sends, this
// cannot be forged, so the service bases its access decisions on it.
#ifndef VARLO_PLATFORM_PIPE_PEER_CREDENTIALS_H_
#define VARLO_PLATFORM_PIPE_PEER_CREDENTIALS_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/pipe/pipe_client.h"

namespace varlo::platform {

struct PeerCredentials {
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;  // supplementary groups

  // True when `group` is the primary or a supplementary group.
  bool InGroup(std::uint32_t group) const;
};

// The credentials of the peer of a connected socket; nullopt when the kernel cannot tell.
std::optional<PeerCredentials> ReadPeerCredentials(PipeHandle handle);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_PIPE_PEER_CREDENTIALS_H_
