// ModuleInitialize's work, and ModuleUnload: the module's life cycle.
#include <memory>
#include <string>

#include "log/logger.h"
#include "log/policy_settings.h"
#include "module/event_relay.h"
#include "module/module_state.h"
#include "module/operations.h"

namespace varlo {
namespace {

constexpr const char* kName = "ModuleInitialize";

ModuleResult Fail(const char* message, ModuleResult code) {
  LogError("ModuleAPI") << kName << " " << message;
  return code;
}

ModuleResult Initialize(ModuleData* moduleData) {
  TraceScope trace(kName);
  ModuleState& module = TheModule();
  std::lock_guard lifecycle(module.lifecycle);
  // A list that must go again is destroyed after the module lock is released (declared first).
  std::unique_ptr<TokenList> discarded;
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
  try {
    module.tokenList = module.makeTokenList(MakeEventRelay(moduleData));
    module.tokenList->StartMonitoring();
  } catch (const std::exception& e) {
    discarded = std::move(module.tokenList);
    LogError("ModuleAPI") << kName << " "
                          << "Starting the token list failed: " << e.what();
    return RESULT_FAILURE;
  } catch (...) {
    discarded = std::move(module.tokenList);
    return Fail("Starting the token list failed.", RESULT_FAILURE);
  }

  LogDebug("ModuleAPI") << kName << " "
                        << "Initializing pModuleData.";
  if (moduleData->structVersion == 0) {
    discarded = std::move(module.tokenList);
    return Fail("module struct version is to low", RESULT_INVALID_PARAMETER);
  }
  const unsigned generations = moduleData->structVersion >= 2 ? 2 : 1;
  FillOperationTable(moduleData, generations);
  moduleData->structVersion = generations;
  return RESULT_SUCCESS;
}

}  // namespace

ModuleResult InitializeModule(const uint16_t* settingsPath, uint32_t settingsPathLength,
                              ModuleData* moduleData) {
  try {
    // The key must be known before the first log call, which reads the settings path under it.
    if (settingsPath != nullptr && settingsPathLength != 0) {
      PolicySettings::Instance().SetRegistryKey(
          std::u16string(reinterpret_cast<const char16_t*>(settingsPath), settingsPathLength));
    }
    LogInfo("ModuleAPI") << kName << " "
                         << "\n\n######################################################\n";
    LogInfo("ModuleAPI") << kName << " "
                         << "Version vom " << __DATE__ << " " << __TIME__;
    return Initialize(moduleData);
  } catch (...) {
    return RESULT_FAILURE;  // nothing crosses the library boundary; no list is left behind
  }
}

ModuleResult ModuleUnloadOperation() {
  try {
    TraceScope trace("ModuleUnload");
    ModuleState& module = TheModule();
    std::lock_guard lifecycle(module.lifecycle);
    std::unique_ptr<TokenList> list;
    {
      std::lock_guard lock(module.lock);
      list = std::move(module.tokenList);
    }
    list.reset();  // joins the list's threads, whose host callbacks may call in meanwhile
  } catch (...) {
  }
  return RESULT_SUCCESS;
}

}  // namespace varlo
