#include "modulehost/module_path.h"

#include <filesystem>

namespace varlo::host {

std::string DefaultModulePath(const std::string& self, const ModuleLocations& locations) {
  namespace fs = std::filesystem;
  if (!self.empty()) {
    const fs::path folder = fs::path(self).parent_path();
    std::error_code error;
    if (fs::equivalent(folder, locations.buildFolder, error))
      return locations.buildModule;
    const fs::path installed = (folder / locations.installedModule).lexically_normal();
    if (fs::exists(installed, error))
      return installed.string();
  }
  return locations.fileName;
}

}  // namespace varlo::host
