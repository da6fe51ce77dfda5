// Who this process is, and the user and group names of the system's account database.
#ifndef VARLO_PLATFORM_DAEMON_ACCOUNTS_H_
#define VARLO_PLATFORM_DAEMON_ACCOUNTS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace varlo::platform {

// The id of the group `name`; nullopt when there is no such group.
std::optional<std::uint32_t> LookupGroup(const std::string& name);

// The login name of `uid`; nullopt when the account is unknown.
std::optional<std::string> UserName(std::uint32_t uid);

// The effective user id of this process: the owner of what it creates.
std::uint32_t EffectiveUserId();

std::int32_t CurrentProcessId();

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_DAEMON_ACCOUNTS_H_
