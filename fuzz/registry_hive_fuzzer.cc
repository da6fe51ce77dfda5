// A `.reg` hive file → the registry the settings are read from.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/registry/registry_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto hive = varlo::platform::RegistryHive::Parse(
      std::string_view(reinterpret_cast<const char*>(data), size));
  (void)hive.Find(u"SOFTWARE\\Varlo\\DesfireModule", u"LogSettingsPath");
  (void)hive.HasKey(u"SOFTWARE\\Varlo");
  return 0;
}
