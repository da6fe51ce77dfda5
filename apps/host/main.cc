// varlo-host: the module host for people. See host_cli.h; `varlo-host --help` lists the commands
// and exit codes.
#include <filesystem>
#include <iostream>

#include "apps/host/host_cli.h"
#include "apps/host/results.h"
#include "platform/dynlib/shared_library.h"
#include "platform/terminal/terminal.h"

namespace {

// The module this program was built or installed with: the build tree's when it runs from the
// build tree, else the one installed next to it (<prefix>/bin/../lib/...), else the module's
// file name, which the loader looks for on its own search path.
std::string DefaultModulePath() {
  namespace fs = std::filesystem;
  const fs::path program = varlo::platform::ProgramPath();
  if (!program.empty()) {
    std::error_code error;
    if (fs::equivalent(program.parent_path(), VARLO_BUILD_PROGRAM_DIR, error))
      return VARLO_BUILD_MODULE_PATH;
    const fs::path installed =
        (program.parent_path() / VARLO_MODULE_FROM_BINDIR).lexically_normal();
    if (fs::exists(installed, error))
      return installed.string();
  }
  return VARLO_MODULE_FILE_NAME;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace varlo::host;
  const HostEnvironment environment{
      std::cout,
      std::cerr,
      DefaultModulePath(),
      [](const std::string& path, const std::u16string& key) -> std::unique_ptr<Module> {
        return std::make_unique<LoadedModule>(path, key);
      },
      [](const std::string& prompt, bool fromStdin) {
        return varlo::platform::ReadSecretLine(fromStdin ? "" : prompt);
      },
  };
  try {
    return RunHost(argc, argv, environment);
  } catch (...) {
    std::cerr << "varlo-host: unexpected failure\n";
    return static_cast<int>(ExitCode::kFailure);
  }
}
