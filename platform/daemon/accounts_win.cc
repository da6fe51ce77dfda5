#include "platform/daemon/accounts.h"
#include "platform/win/user_sid.h"

// Users on Windows are SIDs; the portable code's number for one is its relative id. Only this
// process's own user is known by that number here (the local token service on Windows serves
// its own user alone), and groups are not looked up.
namespace varlo::platform {

std::optional<std::uint32_t> LookupGroup(const std::string& /*name*/) {
  return std::nullopt;
}

std::optional<std::string> UserName(std::uint32_t uid) {
  if (uid != EffectiveUserId())
    return std::nullopt;
  wchar_t name[257];  // the longest user name and its NUL
  DWORD size = 257;
  if (!::GetUserNameW(name, &size) || size == 0)
    return std::nullopt;
  return win::Narrow(std::wstring_view(name, size - 1));
}

std::uint32_t EffectiveUserId() {
  static const std::uint32_t id = [] {
    std::vector<BYTE> sid = win::ProcessUserSid(::GetCurrentProcess());
    return win::RelativeId(sid);
  }();
  return id;
}

std::int32_t CurrentProcessId() {
  return static_cast<std::int32_t>(::GetCurrentProcessId());
}

}  // namespace varlo::platform
