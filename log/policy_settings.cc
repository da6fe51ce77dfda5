#include "log/policy_settings.h"

#include "_externals/ravcore/source/registry/registry_key.h"

namespace varlo {

PolicySettings& PolicySettings::Instance() {
  static PolicySettings instance;
  return instance;
}

void PolicySettings::SetRegistryKey(std::u16string_view path) {
  constexpr std::u16string_view kPrefix = u"SOFTWARE\\";
  if (path.starts_with(kPrefix))
    path.remove_prefix(kPrefix.size());
  std::lock_guard lock(mutex_);
  moduleKey_ = path;
}

std::u16string PolicySettings::ModuleKey() const {
  std::lock_guard lock(mutex_);
  return moduleKey_;
}

std::u16string PolicySettings::GetValue(std::u16string_view name, std::u16string_view fallback,
                                        std::initializer_list<RegistryScope> scopes) const {
  const std::u16string moduleKey = ModuleKey();
  for (RegistryScope scope : scopes) {
    const bool user =
        scope == RegistryScope::CurrentUser || scope == RegistryScope::CurrentUserPolicy;
    const bool policy =
        scope == RegistryScope::CurrentUserPolicy || scope == RegistryScope::LocalMachinePolicy;
    ravcore::RegistryKey key(
        user ? ravcore::RegistryKey::Root::CurrentUser : ravcore::RegistryKey::Root::LocalMachine,
        (policy ? u"SOFTWARE\\Policies\\" : u"SOFTWARE\\") + moduleKey);
    std::u16string value;
    if (key.GetValue(name, value) == ravcore::RegistryResult::Ok)
      return value;
  }
  return std::u16string(fallback);
}

}  // namespace varlo
