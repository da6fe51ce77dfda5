// Where the module's settings come from: its registry key, read in up to four places.
//
// The host names the module's key when it calls ModuleInitialize ("SOFTWARE\Vendor\Module");
// `PolicySettings` keeps the part below "SOFTWARE\" and reads a value from the user's and the
// machine's hive, under the ordinary key or under the Policies branch, in the order the caller
// gives, so that a policy can win over an ordinary setting. Nothing is cached.
#ifndef VARLO_LOG_POLICY_SETTINGS_H_
#define VARLO_LOG_POLICY_SETTINGS_H_

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

namespace varlo {

enum class RegistryScope : std::int32_t {
  CurrentUser = 1,
  LocalMachine = 2,
  CurrentUserPolicy = 3,
  LocalMachinePolicy = 4,
};

class PolicySettings {
 public:
  static PolicySettings& Instance();

  PolicySettings() = default;
  virtual ~PolicySettings() = default;

  // Takes the host's key path; one leading "SOFTWARE\" (exact case) is removed.
  void SetRegistryKey(std::u16string_view path);
  std::u16string ModuleKey() const;

  // The first string value `name` found in `scopes`, in order; `fallback` when none has it.
  std::u16string GetValue(std::u16string_view name, std::u16string_view fallback,
                          std::initializer_list<RegistryScope> scopes) const;

 private:
  mutable std::mutex mutex_;
  std::u16string moduleKey_ = u"::NONE";
};

}  // namespace varlo

#endif  // VARLO_LOG_POLICY_SETTINGS_H_
