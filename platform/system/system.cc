#include "platform/system/system.h"

#include <cstdlib>

#include <sys/syscall.h>
#include <unistd.h>

namespace varlo::platform {

std::uint64_t CurrentThreadId() {
  // Cached per thread: the id never changes and the log asks for it on every line.
  thread_local const std::uint64_t id = static_cast<std::uint64_t>(::gettid());
  return id;
}

std::string FormatLocalTime(std::time_t time, const char* format) {
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr)
    return {};
  char buffer[64];
  std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, length);
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace varlo::platform
