#include <cstdlib>

#include "platform/registry/registry_hive.h"

// This platform's registry is the hive files alone.
namespace varlo::platform {

std::optional<RegistryHive> RegistryHive::Load(const std::filesystem::path& path) {
  return LoadFile(path);
}

std::optional<RegistryValue> RegistryHive::FindInSystem(RegistryRoot, std::u16string_view,
                                                        std::u16string_view) {
  return std::nullopt;
}

bool RegistryHive::HasKeyInSystem(RegistryRoot, std::u16string_view) {
  return false;
}

std::filesystem::path HivePath(RegistryRoot root) {
  auto env = [](const char* name) -> const char* {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  if (root == RegistryRoot::LocalMachine) {
    if (const char* path = env("VARLO_MACHINE_REGISTRY"))
      return path;
    return "/etc/varlo/registry.reg";
  }
  if (const char* path = env("VARLO_USER_REGISTRY"))
    return path;
  std::filesystem::path config;
  if (const char* xdg = env("XDG_CONFIG_HOME")) {
    config = xdg;
  } else if (const char* home = env("HOME")) {
    config = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return config / "varlo" / "registry.reg";
}

}  // namespace varlo::platform
