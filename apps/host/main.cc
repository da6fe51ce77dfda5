// varlo-host: the module host for people. See host_cli.h; `varlo-host --help` lists the commands
// and exit codes.
#include <iostream>

#include "apps/host/host_cli.h"
#include "modulehost/module_path.h"
#include "modulehost/results.h"
#include "platform/dynlib/shared_library.h"
#include "platform/terminal/terminal.h"

namespace {

// The module this program was built or installed with (<prefix>/bin/../lib/... when installed).
std::string DefaultModulePath() {
  return varlo::host::DefaultModulePath(varlo::platform::ProgramPath(),
                                        {VARLO_BUILD_PROGRAM_DIR, VARLO_BUILD_MODULE_PATH,
                                         VARLO_MODULE_FROM_BINDIR, VARLO_MODULE_FILE_NAME});
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
