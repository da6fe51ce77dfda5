// The exception of the module layer: a message for the log and the result code the host sees.
//
// Tokens and the token list throw it; every table operation catches it, logs the message and
// returns the code. It never crosses the library boundary.
#ifndef VARLO_COMMON_MODULE_EXCEPTION_H_
#define VARLO_COMMON_MODULE_EXCEPTION_H_

#include <stdexcept>
#include <string>

#include "include/varlo_module.h"

namespace varlo {

using ResultCode = std::uint64_t;

class ModuleException : public std::runtime_error {
 public:
  ModuleException(const std::string& message, ResultCode code)
      : std::runtime_error(message), code_(code) {}
  ResultCode Code() const noexcept { return code_; }

 private:
  ResultCode code_;
};

}  // namespace varlo

#endif  // VARLO_COMMON_MODULE_EXCEPTION_H_
