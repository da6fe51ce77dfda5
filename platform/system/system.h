// Small operating-system facts: the calling thread's id and local time (the module), and what
// this process holds (soak runs).
#ifndef VARLO_PLATFORM_SYSTEM_SYSTEM_H_
#define VARLO_PLATFORM_SYSTEM_SYSTEM_H_

#include <cstddef>
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

// Sets the environment variable `name` of this process to `value`, or removes it when `value` is
// null (tests point the settings readers at their own files this way).
void SetEnvironmentValue(const char* name, const char* value);

// What this process holds now: resident memory in kB, open file descriptors and threads.
struct ProcessResources {
  std::uint64_t residentKb = 0;
  std::size_t openFiles = 0;
  std::size_t threads = 0;
};
ProcessResources CurrentProcessResources();

}  // namespace varlo::platform

#endif  // VARLO_PLATFORM_SYSTEM_SYSTEM_H_
