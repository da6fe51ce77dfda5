// Where a host finds the module it was built or installed with, given the file it runs from (a
// program or a library): the build tree's module when that file sits in its build folder, else
// the module installed beside it, else the module's file name for the loader's own search.
#ifndef VARLO_MODULEHOST_MODULE_PATH_H_
#define VARLO_MODULEHOST_MODULE_PATH_H_

#include <string>

namespace varlo::host {

struct ModuleLocations {
  std::string buildFolder;      // where the build puts the file the host runs from
  std::string buildModule;      // the module in the build tree
  std::string installedModule;  // the installed module, relative to the installed file's folder
  std::string fileName;         // the module's file name
};

// `self` is the absolute path of the running program or library (empty: unknown).
std::string DefaultModulePath(const std::string& self, const ModuleLocations& locations);

}  // namespace varlo::host

#endif  // VARLO_MODULEHOST_MODULE_PATH_H_
