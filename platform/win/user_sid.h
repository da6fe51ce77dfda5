// Who a process runs as on Windows: the user SID of its token, and the number the portable code
// uses for a user (the SID's relative id, its last part).
#ifndef VARLO_PLATFORM_WIN_USER_SID_H_
#define VARLO_PLATFORM_WIN_USER_SID_H_

#include <cstdint>
#include <vector>

#include "platform/win/windows_api.h"

namespace varlo::platform::win {

// The user SID of `process`'s token; empty when it cannot be read.
inline std::vector<BYTE> ProcessUserSid(HANDLE process) {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken))
    return {};
  const UniqueHandle token(rawToken);
  DWORD size = 0;
  ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  if (size == 0)
    return {};
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
    return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (!::IsValidSid(sid))
    return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

// The SID's relative id; 0 for an empty or invalid SID.
inline std::uint32_t RelativeId(std::vector<BYTE>& sid) {
  if (sid.empty() || !::IsValidSid(sid.data()))
    return 0;
  const UCHAR parts = *::GetSidSubAuthorityCount(sid.data());
  return parts == 0 ? 0 : *::GetSidSubAuthority(sid.data(), parts - 1u);
}

}  // namespace varlo::platform::win

#endif  // VARLO_PLATFORM_WIN_USER_SID_H_
