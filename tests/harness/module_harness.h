// Loads the built module with the platform's loader and drives it only through the public
// header, as a host does. Tests of the module's behaviour at its boundary use this.
#ifndef VARLO_TESTS_HARNESS_MODULE_HARNESS_H_
#define VARLO_TESTS_HARNESS_MODULE_HARNESS_H_

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "include/varlo_module.h"
#include "platform/dynlib/shared_library.h"

namespace varlo::testing {

// Counts the module's events; its address is the callback's context.
struct EventCounter {
  std::atomic<int> events{0};
  std::atomic<std::uint64_t> lastArgument{~0ull};

  static void Invoke(void* context, std::uint64_t argument) {
    auto* self = static_cast<EventCounter*>(context);
    self->lastArgument = argument;
    ++self->events;
  }
};

// A ModuleData as a host fills it: every table word set to a recognisable pattern, so a test can
// see which words the module wrote.
inline ModuleData NewModuleData(EventCounter* counter, std::uint32_t apiVersion = 2,
                                std::uint32_t structVersion = 2) {
  ModuleData data;
  std::memset(static_cast<void*>(&data), 0xA5, sizeof data);
  data.apiVersion = apiVersion;
  data.structVersion = structVersion;
  data.pfnEventCallback.invoke = &EventCounter::Invoke;
  data.pfnEventCallback.context = counter;
  data.pfnEventCallback.reserved = 0;
  data.pfnEventCallback.targetHandle = reinterpret_cast<std::uint64_t>(&EventCounter::Invoke);
  return data;
}

class ModuleHarness {
 public:
  explicit ModuleHarness(const std::string& path = VARLO_MODULE_PATH)
      : library_(path), initialize_(library_.Get<ModuleInitializeFn>(MODULE_INITIALIZE_SYMBOL)) {}

  bool Loaded() const { return initialize_ != nullptr; }

  // Passes `registryKey` (may be null) as the module's registry key.
  ModuleResult Initialize(ModuleData* data, const char16_t* registryKey = nullptr) const {
    std::u16string_view key = registryKey != nullptr ? registryKey : u"";
    return initialize_(registryKey ? reinterpret_cast<const std::uint16_t*>(key.data()) : nullptr,
                       static_cast<std::uint32_t>(key.size()), data);
  }

  ModuleResult InitializeRaw(const std::uint16_t* key, std::uint32_t length,
                             ModuleData* data) const {
    return initialize_(key, length, data);
  }

 private:
  platform::SharedLibrary library_;
  ModuleInitializeFn initialize_;
};

}  // namespace varlo::testing

#endif  // VARLO_TESTS_HARNESS_MODULE_HARNESS_H_
