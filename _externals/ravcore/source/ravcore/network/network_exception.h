// A failure of the pipe stream or of a message layer: the core library's exception plus the
// Windows error number of the failed system call (0 where no system call failed). Callers read
// the number to tell causes apart, e.g. 2 for a pipe that nobody serves.
#ifndef RAVCORE_NETWORK_NETWORK_EXCEPTION_H_
#define RAVCORE_NETWORK_NETWORK_EXCEPTION_H_

#include <cstdint>
#include <string>
#include <utility>

#include "ravcore/ravcore_exception.h"

namespace ravcore::network {

class NetworkException : public RavCoreException {
 public:
  explicit NetworkException(std::string message, std::uint32_t systemErrorCode = 0)
      : RavCoreException(std::move(message)), systemErrorCode_(systemErrorCode) {}

  std::uint32_t GetSystemErrorCode() const noexcept { return systemErrorCode_; }

 private:
  std::uint32_t systemErrorCode_;
};

}  // namespace ravcore::network

#endif  // RAVCORE_NETWORK_NETWORK_EXCEPTION_H_
