#include "platform/daemon/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace varlo::platform {
namespace {

// Calls a getXXX_r lookup with a buffer that grows until the entry fits. True when found.
template <typename Lookup>
bool LookupWithBuffer(Lookup lookup) {
  std::vector<char> buffer(1024);
  for (;;) {
    bool found = false;
    const int rc = lookup(buffer, found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    return rc == 0 && found;
  }
}

}  // namespace

std::optional<std::uint32_t> LookupGroup(const std::string& name) {
  group entry{};
  const bool found = LookupWithBuffer([&](std::vector<char>& buffer, bool& ok) {
    group* result = nullptr;
    const int rc = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
    ok = result != nullptr;
    return rc;
  });
  if (!found)
    return std::nullopt;
  return entry.gr_gid;
}

std::optional<std::string> UserName(std::uint32_t uid) {
  std::string name;
  const bool found = LookupWithBuffer([&](std::vector<char>& buffer, bool& ok) {
    passwd entry{};
    passwd* result = nullptr;
    const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result);
    ok = result != nullptr;
    if (ok)
      name = entry.pw_name;
    return rc;
  });
  if (!found)
    return std::nullopt;
  return name;
}

std::uint32_t EffectiveUserId() {
  return ::geteuid();
}

std::int32_t CurrentProcessId() {
  return ::getpid();
}

}  // namespace varlo::platform
