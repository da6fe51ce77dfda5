// ModuleInitialize: the library's only export.
#include "include/varlo_module.h"
#include "module/operations.h"

extern "C" __attribute__((visibility("default"))) ModuleResult ModuleInitialize(
    const uint16_t* settingsPath, uint32_t settingsPathLength, ModuleData* moduleData) {
  return varlo::InitializeModule(settingsPath, settingsPathLength, moduleData);
}
