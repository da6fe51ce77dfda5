// A module host for people: loads the module, initializes it and calls its operations through
// the public header only, turning results into text.
#ifndef VARLO_APPS_HOST_MODULE_HOST_H_
#define VARLO_APPS_HOST_MODULE_HOST_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/secure_bytes.h"
#include "include/varlo_module.h"
#include "platform/dynlib/shared_library.h"

namespace varlo::host {

// A result code that is not success, with the operation that gave it.
class HostError : public std::runtime_error {
 public:
  HostError(const std::string& operation, ModuleResult code);
  ModuleResult Code() const { return code_; }

 private:
  ModuleResult code_;
};

std::string ResultName(ModuleResult code);

struct ObjectInfo {
  std::uint64_t handle = 0;
  std::string label;
  std::string application;
  bool isPrivate = false;
  std::uint32_t size = 0;
};

class ModuleHost {
 public:
  // Loads the module and initializes it with `registryKey` (empty: none). Throws HostError.
  ModuleHost(const std::string& modulePath, const std::u16string& registryKey);
  // Unloads the module.
  ~ModuleHost();
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  std::uint32_t TableGeneration() const { return data_.structVersion; }

  std::vector<ModuleSessionId> SessionIds();
  std::vector<std::uint8_t> Capabilities(const ModuleSessionId& token);
  void CheckPIN(const ModuleSessionId& token, const SecureBytes& pin);
  std::vector<ObjectInfo> FindObjects(const ModuleSessionId& token, bool publicOnly);
  SecureBytes ReadObject(const ModuleSessionId& token, const ObjectInfo& object);

  // Events seen so far; waits up to `timeout` for one more than `seen`.
  int WaitForEvent(int seen, std::chrono::milliseconds timeout);

 private:
  static void OnEvent(void* context, std::uint64_t argument);

  platform::SharedLibrary library_;
  ModuleData data_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  int events_ = 0;
};

}  // namespace varlo::host

#endif  // VARLO_APPS_HOST_MODULE_HOST_H_
