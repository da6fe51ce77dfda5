// Small operating-system facts the module needs: the calling thread's id and local time.
#ifndef VARLO_PLATFORM_SYSTEM_SYSTEM_H_
#define VARLO_PLATFORM_SYSTEM_SYSTEM_H_

#include <cstdint>
#include <ctime>
#include <string>

namespace varlo::platform {

// The operating system's id of the calling thread (the kernel's thread id on Linux).
std::uint64_t CurrentThreadId();

// `time` in local time, formatted with strftime's `format`.
std::string FormatLocalTime(std::time_t time, const char* format);

// The value of the environment variable `name`; empty when it is unset or empty.
std::string EnvironmentValue(const char* name);

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_SYSTEM_SYSTEM_H_
