// Terminal input for the programs around the module: secrets typed without echo.
#ifndef VARLO_PLATFORM_TERMINAL_TERMINAL_H_
#define VARLO_PLATFORM_TERMINAL_TERMINAL_H_

#include <string>

#include "common/secure_bytes.h"

namespace varlo::platform {

// Prints `prompt` to standard error and reads one line from standard input without echoing it
// when standard input is a terminal. The line feed is not part of the result.
SecureBytes ReadSecretLine(const std::string& prompt);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_TERMINAL_TERMINAL_H_
