// ModuleInitialize: the library's only export.
#include <string>

#include "include/varlo_module.h"
#include "log/logger.h"
#include "log/policy_settings.h"
#include "module/event_relay.h"
#include "module/module_state.h"
#include "module/operations.h"

namespace varlo {

ModuleState& TheModule() {
  static ModuleState state;
  return state;
}

namespace {

constexpr const char* kName = "ModuleInitialize";

ModuleResult Fail(const char* message, ModuleResult code) {
  LogError("ModuleAPI") << kName << " " << message;
  return code;
}

ModuleResult Initialize(ModuleData* moduleData) {
  TraceScope trace(kName);
  ModuleState& module = TheModule();
  std::lock_guard lock(module.lock);
  if (module.tokenList)
    return Fail("Module was already initialized.", RESULT_WRONG_STATE);
  if (moduleData == nullptr)
    return Fail("pModuleData is nullptr", RESULT_INVALID_PARAMETER);
  if (moduleData->pfnEventCallback.targetHandle == 0) {
    return Fail("pModuleData->pfnEventCallback is nullptr", RESULT_INVALID_PARAMETER);
  }
  if (moduleData->apiVersion != MODULE_API_VERSION) {
    return Fail("requested api version not supported", RESULT_API_VERSION_UNSUPPORTED);
  }

  // The list starts (and may raise events) before the table version is looked at.
  module.tokenList = std::make_unique<TokenList>(MakeEventRelay(moduleData));
  module.initialized = true;
  module.tokenList->StartMonitoring();

  LogDebug("ModuleAPI") << kName << " "
                        << "Initializing pModuleData.";
  if (moduleData->structVersion == 0) {
    module.DestroyTokenList();
    return Fail("module struct version is to low", RESULT_INVALID_PARAMETER);
  }
  const unsigned generations = moduleData->structVersion >= 2 ? 2 : 1;
  FillOperationTable(moduleData, generations);
  moduleData->structVersion = generations;
  return RESULT_SUCCESS;
}

}  // namespace
}  // namespace varlo

extern "C" __attribute__((visibility("default"))) ModuleResult ModuleInitialize(
    const uint16_t* settingsPath, uint32_t settingsPathLength, ModuleData* moduleData) {
  using namespace varlo;
  // The key must be known before the first log call, which reads the settings path under it.
  if (settingsPath != nullptr && settingsPathLength != 0) {
    PolicySettings::Instance().SetRegistryKey(
        std::u16string(reinterpret_cast<const char16_t*>(settingsPath), settingsPathLength));
  }
  try {
    LogInfo("ModuleAPI") << kName << " "
                         << "\n\n######################################################\n";
    LogInfo("ModuleAPI") << kName << " "
                         << "Version vom " << __DATE__ << " " << __TIME__;
    return Initialize(moduleData);
  } catch (...) {
    // Nothing may cross the library boundary; a failure while starting leaves no token list.
    ModuleState& module = TheModule();
    std::lock_guard lock(module.lock);
    module.DestroyTokenList();
    return RESULT_FAILURE;
  }
}
