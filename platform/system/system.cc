#include "platform/system/system.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

void SetEnvironmentValue(const char* name, const char* value) {
  if (value != nullptr)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ProcessResources CurrentProcessResources() {
  ProcessResources resources;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name == "VmRSS:")
      fields >> resources.residentKb;
    else if (name == "Threads:")
      fields >> resources.threads;
  }
  std::error_code error;
  for (std::filesystem::directory_iterator fd("/proc/self/fd", error), end; !error && fd != end;
       fd.increment(error)) {
    ++resources.openFiles;
  }
  if (resources.openFiles > 0)
    --resources.openFiles;  // the listing's own descriptor
  return resources;
}

}  // namespace varlo::platform
