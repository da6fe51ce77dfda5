// varlo-host's command line: parses it, loads the module through the environment, runs the
// command and writes its answer as text or JSON. Returns the exit code (see ExitCode).
//
// The environment supplies what differs between the program and its tests: the output streams,
// the module (loaded and initialized, or a test's fake) and the PIN input.
#ifndef VARLO_APPS_HOST_HOST_CLI_H_
#define VARLO_APPS_HOST_HOST_CLI_H_

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "common/secure_bytes.h"
#include "modulehost/loaded_module.h"

namespace varlo::host {

struct HostEnvironment {
  std::ostream& out;
  std::ostream& err;
  // Shown in --help and used when --module is not given.
  std::string defaultModulePath;
  // Loads and initializes the module; throws CommandError.
  std::function<std::unique_ptr<Module>(const std::string& path, const std::u16string& key)>
      loadModule;
  // Reads a PIN: after `prompt` from the terminal without echo, or, when `fromStdin`, one line of
  // standard input without a prompt.
  std::function<SecureBytes(const std::string& prompt, bool fromStdin)> readPin;
};

int RunHost(int argc, const char* const* argv, const HostEnvironment& environment);

}  // namespace varlo::host

#endif  // VARLO_APPS_HOST_HOST_CLI_H_
