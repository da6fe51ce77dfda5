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
  const std::wstring wideName = win::Widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length =
        ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0)
      return {};
    if (length < value.size()) {
      value.resize(length);
      return win::Narrow(value);
    }
    value.resize(length);  // the size asked for, terminating NUL included
  }
}

}  // namespace varlo::platform
