#include "module/operations.h"

#include "module/operation_frame.h"

namespace varlo {
namespace {

// The operations whose work arrives with the tokens: for now each runs its frame and answers
// RESULT_NOT_SUPPORTED.
ModuleResult GetSerial(const ModuleSessionId*, uint8_t*, uint32_t*) {
  return RunLocked("ModuleGetSerial", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult GetTokenSessionIdList(uint8_t*, uint32_t*) {
  return RunLocked("ModuleGetTokenSessionIdList", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult FindObjects(const ModuleSessionId*, const ModuleSearchCondition*, uint32_t, uint64_t**,
                         uint32_t*) {
  return RunLocked("ModuleFindObjects", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult ReadObject(const ModuleSessionId*, uint64_t, uint32_t, uint8_t*, uint32_t, uint32_t*) {
  return RunLocked("ModuleReadObject", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult CheckPIN(const ModuleSessionId*, const ModuleUtf8String*) {
  return RunLocked("ModuleCheckPIN", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult GetTokenCapabilities(const ModuleSessionId*, uint8_t*, uint32_t*) {
  return RunLocked("ModuleGetTokenCapabilities", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult GetObjectInfo(const ModuleSessionId*, uint64_t, ModuleObjectInfo**) {
  return RunLocked("ModuleGetObjectInfo", [](TokenList&) { return RESULT_NOT_SUPPORTED; });
}
ModuleResult FreeObjectHandleList(uint64_t*) {
  return RunUnlocked("ModuleFreeObjectHandleList", [] { return RESULT_NOT_SUPPORTED; });
}
ModuleResult FreeObjectInfo(ModuleObjectInfo*) {
  return RunUnlocked("ModuleFreeObjectInfo", [] { return RESULT_NOT_SUPPORTED; });
}

// An operation the module does not support: its trace, nothing else; arguments are ignored.
template <const char* kName>
ModuleResult NotSupported() {
  TraceScope trace(kName);
  return RESULT_NOT_SUPPORTED;
}

#define VARLO_NOT_SUPPORTED(name)   \
  constexpr char k##name[] = #name; \
  constexpr ModuleNotSupportedFn name##Op = &NotSupported<k##name>;

VARLO_NOT_SUPPORTED(ModuleCreateObject)
VARLO_NOT_SUPPORTED(ModuleDeleteObject)
VARLO_NOT_SUPPORTED(ModuleWriteObject)
VARLO_NOT_SUPPORTED(ModuleCopyObject)
VARLO_NOT_SUPPORTED(ModuleAskPIN)
VARLO_NOT_SUPPORTED(ModuleKoGenerateKeypair)
VARLO_NOT_SUPPORTED(ModuleKoEncrypt)
VARLO_NOT_SUPPORTED(ModuleKoDecrypt)
VARLO_NOT_SUPPORTED(ModuleChangePIN)
VARLO_NOT_SUPPORTED(ModuleInitToken)
VARLO_NOT_SUPPORTED(ModuleFormatToken)
VARLO_NOT_SUPPORTED(ModuleKoFindKeys)
VARLO_NOT_SUPPORTED(ModuleKoGetAttributeValue)
VARLO_NOT_SUPPORTED(ModuleKoFreeAttributeTemplate)
VARLO_NOT_SUPPORTED(ModuleKoGetRelatedKey)
VARLO_NOT_SUPPORTED(ModuleMoGetCapabilities)
VARLO_NOT_SUPPORTED(ModuleSetPIN)
VARLO_NOT_SUPPORTED(ModuleChangePUK)

#undef VARLO_NOT_SUPPORTED

}  // namespace

ModuleResult ModuleUnloadOperation() {
  TraceScope trace("ModuleUnload");
  ModuleState& module = TheModule();
  std::lock_guard lock(module.lock);
  module.DestroyTokenList();
  return RESULT_SUCCESS;
}

void FillOperationTable(ModuleData* data, unsigned generations) {
  data->ModuleGetSerial = &GetSerial;
  data->ModuleGetTokenSessionIdList = &GetTokenSessionIdList;
  data->ModuleFindObjects = &FindObjects;
  data->ModuleCreateObject = ModuleCreateObjectOp;
  data->ModuleDeleteObject = ModuleDeleteObjectOp;
  data->ModuleReadObject = &ReadObject;
  data->ModuleWriteObject = ModuleWriteObjectOp;
  data->ModuleCopyObject = ModuleCopyObjectOp;
  data->ModuleCheckPIN = &CheckPIN;
  data->ModuleAskPIN = ModuleAskPINOp;
  data->ModuleFreeObjectHandleList = &FreeObjectHandleList;
  data->ModuleGetTokenCapabilities = &GetTokenCapabilities;
  data->ModuleKoGenerateKeypair = ModuleKoGenerateKeypairOp;
  data->ModuleKoEncrypt = ModuleKoEncryptOp;
  data->ModuleKoDecrypt = ModuleKoDecryptOp;
  data->ModuleUnload = &ModuleUnloadOperation;
  data->ModuleChangePIN = ModuleChangePINOp;
  data->ModuleInitToken = ModuleInitTokenOp;
  data->ModuleFormatToken = ModuleFormatTokenOp;
  data->ModuleGetObjectInfo = &GetObjectInfo;
  data->ModuleFreeObjectInfo = &FreeObjectInfo;
  data->ModuleKoFindKeys = ModuleKoFindKeysOp;
  data->ModuleKoGetAttributeValue = ModuleKoGetAttributeValueOp;
  data->ModuleKoFreeAttributeTemplate = ModuleKoFreeAttributeTemplateOp;
  data->ModuleKoGetRelatedKey = ModuleKoGetRelatedKeyOp;
  data->ModuleMoGetCapabilities = ModuleMoGetCapabilitiesOp;
  if (generations >= 2) {
    data->ModuleSetPIN = ModuleSetPINOp;
    data->ModuleChangePUK = ModuleChangePUKOp;
  }
}

}  // namespace varlo
