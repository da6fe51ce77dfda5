#include <algorithm>
#include <limits>

#include "platform/pipe/peer_credentials.h"
#include "platform/pipe/pipe_end_win.h"
#include "platform/win/user_sid.h"

namespace varlo::platform {

bool PeerCredentials::InGroup(std::uint32_t group) const {
  return gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The client's process id comes from the pipe; its user from that process's token. Only a
// client of the service's own user is told apart: any other (the pipe's security lets in the
// system too) is refused as unknown, since users on Windows are not numbered the way the
// portable code expects.
std::optional<PeerCredentials> ReadPeerCredentials(PipeHandle handle) {
  if (handle == kInvalidPipeHandle)
    return std::nullopt;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(win::AsPipeEnd(handle)->pipe, &pid))
    return std::nullopt;
  const win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.Valid())
    return std::nullopt;
  std::vector<BYTE> peerSid = win::ProcessUserSid(process.Get());
  std::vector<BYTE> ownSid = win::ProcessUserSid(::GetCurrentProcess());
  if (peerSid.empty() || ownSid.empty() || !::EqualSid(peerSid.data(), ownSid.data()))
    return std::nullopt;
  PeerCredentials peer;
  peer.pid = static_cast<std::int32_t>(pid);
  peer.uid = win::RelativeId(ownSid);
  peer.gid = std::numeric_limits<std::uint32_t>::max();  // no group stands for users here
  return peer;
}

}  // namespace varlo::platform
