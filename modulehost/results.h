// What varlo-host makes of the module's result codes: a name, a sentence for people and the
// program's exit code. The errors the commands throw carry the exit code they end with.
#ifndef VARLO_MODULEHOST_RESULTS_H_
#define VARLO_MODULEHOST_RESULTS_H_

#include <stdexcept>
#include <string>

#include "include/varlo_module.h"

namespace varlo::host {

// varlo-host's exit codes, listed in its --help.
enum class ExitCode : int {
  kOk = 0,
  kUsage = 1,
  kModuleUnavailable = 2,  // the module could not be loaded or initialized
  kNotFound = 3,           // no such token or object
  kPinIncorrect = 4,
  kPinLocked = 5,
  kPinRequired = 6,
  kFailure = 7,
};

// "RESULT_PIN_INCORRECT"; unknown codes as "0x" and 16 hex digits.
std::string ResultName(ModuleResult code);
// "PIN is incorrect (RESULT_PIN_INCORRECT)".
std::string ResultText(ModuleResult code);
ExitCode ExitCodeFor(ModuleResult code);

// A failure that ends a command: the text for people and the exit code.
class CommandError : public std::runtime_error {
 public:
  CommandError(ExitCode exitCode, const std::string& message)
      : std::runtime_error(message), exitCode_(exitCode) {}
  ExitCode Exit() const { return exitCode_; }

 private:
  ExitCode exitCode_;
};

// A table operation that did not succeed: "ModuleCheckPIN: PIN is incorrect
// (RESULT_PIN_INCORRECT)", ending the program with the code's exit code.
class HostError : public CommandError {
 public:
  HostError(const std::string& operation, ModuleResult code);
  const std::string& Operation() const { return operation_; }
  ModuleResult Code() const { return code_; }

 private:
  std::string operation_;
  ModuleResult code_;
};

}  // namespace varlo::host

#endif  // VARLO_MODULEHOST_RESULTS_H_
