#include "platform/system/system.h"

#include <cstdlib>

#include "platform/win/windows_api.h"

namespace varlo::platform {

std::uint64_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

std::string FormatLocalTime(std::time_t time, const char* format) {
  std::tm local{};
  if (::localtime_s(&local, &time) != 0)
    return {};
  char buffer[64];
  std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, length);
}

std::string EnvironmentValue(const char* name) {
  // The wide environment, so that values outside the ANSI code page arrive intact.
  return win::Narrow(win::EnvironmentW(win::Widen(name).c_str()));
}

void SetEnvironmentValue(const char* name, const char* value) {
  ::SetEnvironmentVariableW(win::Widen(name).c_str(),
                            value != nullptr ? win::Widen(value).c_str() : nullptr);
}

}  // namespace varlo::platform
