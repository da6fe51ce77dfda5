// Reads typed values of one registry key, as RegGetValueW does with a type restriction.
//
// A `RegistryKey` names a root (the calling user's hive or the machine's) and a key path below
// it. Every read opens the hive afresh, so a value changed on disk is seen by the next read.
// A value stored with another type than the one asked for is `WrongType`, never converted.
#ifndef RAVCORE_REGISTRY_REGISTRY_KEY_H_
#define RAVCORE_REGISTRY_REGISTRY_KEY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_hive.h"

namespace ravcore {

enum class RegistryResult {
  Ok,
  KeyNotFound,
  ValueNotFound,
  WrongType,
};

class RegistryKey {
 public:
  using Root = varlo::platform::RegistryRoot;

  // `extraAccess` is OR-ed into the access of every open; it selects registry views on Windows
  // and has no effect on this platform's hive files.
  RegistryKey(Root root, std::u16string subKey, std::uint32_t extraAccess = 0);

  RegistryResult GetValue(std::u16string_view name, std::u16string& value) const;
  RegistryResult GetValue(std::u16string_view name, std::vector<std::u16string>& value) const;
  RegistryResult GetValue(std::u16string_view name, std::uint32_t& value) const;
  RegistryResult GetValue(std::u16string_view name, std::uint64_t& value) const;
  RegistryResult GetValue(std::u16string_view name, std::vector<std::uint8_t>& value) const;

 private:
  RegistryResult Read(std::u16string_view name, varlo::platform::RegistryType type,
                      std::vector<std::uint8_t>& data) const;

  Root root_;
  std::u16string subKey_;
};

}  // namespace ravcore

#endif  // RAVCORE_REGISTRY_REGISTRY_KEY_H_
