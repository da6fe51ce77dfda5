// The exceptions of the core library.
//
// `RavCoreException` carries a fixed English message and a 64-bit result code; every throw in
// the core library uses `kRavCoreResultCode`. Network failures add the Windows error number of
// the system call that failed (`ravcore::network::NetworkException`).
#ifndef RAVCORE_RAVCORE_EXCEPTION_H_
#define RAVCORE_RAVCORE_EXCEPTION_H_

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace ravcore {

inline constexpr std::uint64_t kRavCoreResultCode = 0xE0000000EFFF000AULL;

class RavCoreException : public std::exception {
 public:
  explicit RavCoreException(std::string message, std::uint64_t resultCode = kRavCoreResultCode)
      : message_(std::move(message)), resultCode_(resultCode) {}

  const char* what() const noexcept override { return message_.c_str(); }
  virtual std::uint64_t GetResultCode() const noexcept { return resultCode_; }

 private:
  std::string message_;
  std::uint64_t resultCode_;
};

}  // namespace ravcore

#endif  // RAVCORE_RAVCORE_EXCEPTION_H_
