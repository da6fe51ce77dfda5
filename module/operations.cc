#include "module/operations.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/secure_bytes.h"
#include "module/operation_frame.h"
#include "module/utf8_string.h"

namespace varlo {
namespace {

constexpr char kApi[] = "ModuleAPI";

// The search conditions a host may give, as data: the value type each field key needs, and what
// is logged when a condition of that key is valid or not.
struct ConditionRule {
  std::uint32_t fieldKey;
  std::uint32_t valueType;
  const char* valid;
  const char* invalid;
};
constexpr ConditionRule kConditionRules[] = {
    {KEY_LABEL, VALUE_TYPE_TEXT, "FieldKey is KEY_LABEL and Valid", "Invalid KEY_LABEL condition"},
    {KEY_ATTRIBUTES, VALUE_TYPE_BYTE, "FieldKey is KEY_ATTRIBUTES and Valid",
     "Invalid KEY_ATTRIBUTES condition"},
    {KEY_APPID, VALUE_TYPE_TEXT, "FieldKey is KEY_APPID and Valid",
     "invalid condition filter: KEY_APPID"},
};

bool CheckCondition(const char* operation, const ModuleSearchCondition& condition) {
  LogDebug(kApi) << operation << " "
                 << "Checking conditionfilter-fieldkey " << condition.fieldKey;
  for (const ConditionRule& rule : kConditionRules) {
    if (rule.fieldKey != condition.fieldKey)
      continue;
    const bool valid =
        condition.valueType == rule.valueType &&
        (rule.valueType == VALUE_TYPE_TEXT ? condition.value.text != nullptr
                                           : condition.value.byte == OBJECT_ATTRIBUTE_PRIVATE ||
                                                 condition.value.byte == OBJECT_ATTRIBUTE_PUBLIC);
    if (valid)
      LogDebug(kApi) << operation << " " << rule.valid;
    else
      LogError(kApi) << operation << " " << rule.invalid;
    return valid;
  }
  LogError(kApi) << operation << " "
                 << "Invalid Conditionfilter (unknown fieldKey)";
  return false;
}

// Nodes of the session id list, back to back from `buffer`, each pointing at the next.
void WriteSessionIdNodes(std::uint8_t* buffer, const std::vector<SessionId>& sessionIds) {
  constexpr std::size_t kNodeSize = sizeof(ModuleSessionIdNode);
  for (std::size_t i = 0; i < sessionIds.size(); ++i) {
    std::uint8_t* at = buffer + i * kNodeSize;
    ModuleSessionIdNode node{};
    node.next = i + 1 < sessionIds.size() ? reinterpret_cast<std::uint64_t>(at + kNodeSize) : 0;
    node.sessionId.length = kSessionIdSize;
    std::memcpy(node.sessionId.id, sessionIds[i].data(), kSessionIdSize);
    std::memcpy(at, &node, kNodeSize);
  }
}

// A zero-terminated copy of `text` in a zero-filled allocation one byte longer.
std::unique_ptr<char[]> CopyText(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

ModuleResult GetSerial(const ModuleSessionId* sessionId, uint8_t* buffer, uint32_t* size) {
  return RunLocked("ModuleGetSerial", [&](OperationScope& scope) -> ResultCode {
    if (size == nullptr)
      return RESULT_INVALID_PARAMETER;
    SessionId serial;
    scope.FindToken(sessionId).GetTokenSessionId(serial);
    if (buffer != nullptr) {
      if (*size < serial.size()) {
        *size = serial.size();
        throw ModuleException("Buffer too small for serial.", RESULT_BUFFER_TOO_SMALL);
      }
      std::memcpy(buffer, serial.data(), serial.size());
    }
    *size = serial.size();
    return RESULT_SUCCESS;
  });
}

ModuleResult GetTokenSessionIdList(uint8_t* buffer, uint32_t* size) {
  constexpr const char* kOp = "ModuleGetTokenSessionIdList";
  return RunLocked(kOp, [&](OperationScope& scope) -> ResultCode {
    if (size == nullptr)
      return RESULT_INVALID_PARAMETER;
    const std::vector<SessionId> sessionIds = scope.List().GetList();
    if (sessionIds.empty()) {
      LogDebug(kApi) << kOp << " "
                     << "Token session id list is empty.";
      *size = 0;
      return RESULT_EMPTY;
    }
    const auto needed = static_cast<std::uint32_t>(sizeof(ModuleSessionIdNode) * sessionIds.size());
    LogDebug(kApi) << kOp << " "
                   << "Size for token session id list: " << needed << " bytes.";
    if (buffer == nullptr) {
      LogDebug(kApi) << kOp << " "
                     << "No buffer - returning size for token session id list.";
      *size = needed;
      return RESULT_SUCCESS;
    }
    if (needed <= *size) {
      LogDebug(kApi) << kOp << " "
                     << "Copying " << sessionIds.size() << " token session id(s).";
      WriteSessionIdNodes(buffer, sessionIds);
      return RESULT_SUCCESS;
    }
    LogWarn(kApi) << kOp << " "
                  << "Buffer too small - returning size for token session id list.";
    *size = needed;
    return RESULT_BUFFER_TOO_SMALL;
  });
}

ModuleResult FindObjects(const ModuleSessionId* sessionId, const ModuleSearchCondition* conditions,
                         uint32_t conditionCount, uint64_t** handleList, uint32_t* handleCount) {
  constexpr const char* kOp = "ModuleFindObjects";
  return RunLocked(kOp, [&](OperationScope& scope) -> ResultCode {
    if ((conditions == nullptr) != (conditionCount == 0) || handleList == nullptr ||
        *handleList != nullptr || handleCount == nullptr) {
      return RESULT_INVALID_PARAMETER;
    }
    *handleCount = 0;
    std::vector<SearchCondition> search;
    bool publicOnly = false;
    for (const ModuleSearchCondition& condition : std::span(conditions, conditionCount)) {
      if (!CheckCondition(kOp, condition))
        return RESULT_INVALID_PARAMETER;
      publicOnly = publicOnly || (condition.fieldKey == KEY_ATTRIBUTES &&
                                  condition.value.byte == OBJECT_ATTRIBUTE_PUBLIC);
      search.push_back(SearchCondition::FromHost(condition));
    }
    Token& token = scope.FindToken(sessionId);
    if (!publicOnly && !token.HasObjectKey())
      throw ModuleException("PIN required.", RESULT_PIN_REQUIRED);
    const std::vector<std::uint64_t> handles = token.FindObjects(search);
    if (handles.empty())
      return RESULT_EMPTY;
    LogDebug(kApi) << kOp << " " << handles.size() << " objects found";
    auto list = std::make_unique<std::uint64_t[]>(handles.size());
    std::copy(handles.begin(), handles.end(), list.get());
    *handleList = list.release();
    *handleCount = static_cast<std::uint32_t>(handles.size());
    return RESULT_SUCCESS;
  });
}

ModuleResult FreeObjectHandleList(uint64_t* handleList) {
  return RunUnlocked("ModuleFreeObjectHandleList", [&]() -> ResultCode {
    if (handleList == nullptr)
      return RESULT_INVALID_PARAMETER;
    delete[] handleList;
    return RESULT_SUCCESS;
  });
}

ModuleResult ReadObject(const ModuleSessionId* sessionId, uint64_t handle, uint32_t offset,
                        uint8_t* buffer, uint32_t bytesToRead, uint32_t* bytesRead) {
  constexpr const char* kOp = "ModuleReadObject";
  return RunLocked(kOp, [&](OperationScope& scope) -> ResultCode {
    if (buffer == nullptr || bytesToRead == 0 || bytesRead == nullptr) {
      LogError(kApi) << kOp << " "
                     << "invalid parameter";
      return RESULT_INVALID_PARAMETER;
    }
    *bytesRead = 0;
    const SecureBytes data = scope.FindToken(sessionId).ReadObject(handle);
    // In 64 bits: offset + bytesToRead must not wrap around. No partial reads.
    if (std::uint64_t{offset} + bytesToRead > data.size())
      throw ModuleException("Offset + bytesToRead out of Datasize.", RESULT_INVALID_PARAMETER);
    std::memcpy(buffer, data.data() + offset, bytesToRead);
    *bytesRead = bytesToRead;
    return RESULT_SUCCESS;
  });
}

ModuleResult CheckPIN(const ModuleSessionId* sessionId, const ModuleUtf8String* pin) {
  return RunLocked("ModuleCheckPIN", [&](OperationScope& scope) -> ResultCode {
    const SecureBytes pinBytes = Utf8StringBytes(pin);
    scope.FindToken(sessionId).CheckPIN(pinBytes);
    return RESULT_SUCCESS;
  });
}

ModuleResult GetObjectInfo(const ModuleSessionId* sessionId, uint64_t handle,
                           ModuleObjectInfo** info) {
  return RunLocked("ModuleGetObjectInfo", [&](OperationScope& scope) -> ResultCode {
    if (info == nullptr || handle == 0)
      return RESULT_INVALID_PARAMETER;
    const TokenObject object = scope.FindToken(sessionId).GetObject(handle);
    auto record = std::make_unique<ModuleObjectInfo>();
    std::unique_ptr<char[]> application = CopyText(object.application);
    std::unique_ptr<char[]> label = CopyText(object.label);
    record->application = application.release();
    record->applicationSize = static_cast<std::uint32_t>(object.application.size() + 1);
    record->label = label.release();
    record->labelSize = static_cast<std::uint32_t>(object.label.size() + 1);
    record->attributes = object.isPrivate ? OBJECT_ATTRIBUTE_PRIVATE : OBJECT_ATTRIBUTE_PUBLIC;
    record->size = static_cast<std::uint32_t>(object.size);
    *info = record.release();
    return RESULT_SUCCESS;
  });
}

ModuleResult FreeObjectInfo(ModuleObjectInfo* info) {
  return RunUnlocked("ModuleFreeObjectInfo", [&]() -> ResultCode {
    if (info == nullptr)
      return RESULT_INVALID_PARAMETER;
    delete[] info->application;
    delete[] info->label;
    Wipe(std::span(reinterpret_cast<std::uint8_t*>(info), sizeof *info));
    delete info;
    return RESULT_SUCCESS;
  });
}

ModuleResult GetTokenCapabilities(const ModuleSessionId* sessionId, uint8_t* buffer,
                                  uint32_t* size) {
  constexpr const char* kOp = "ModuleGetTokenCapabilities";
  return RunLocked(kOp, [&](OperationScope& scope) -> ResultCode {
    if (size == nullptr) {
      LogError(kApi) << kOp << " "
                     << "Unexpected nullptr.";
      return RESULT_INVALID_PARAMETER;
    }
    const std::vector<std::uint8_t> block = scope.FindToken(sessionId).GetTokenCapabilities();
    const auto length = static_cast<std::uint32_t>(block.size());
    ResultCode result = RESULT_SUCCESS;
    if (buffer != nullptr) {
      if (*size >= length)
        std::memcpy(buffer, block.data(), block.size());
      else
        result = RESULT_BUFFER_TOO_SMALL;
    }
    *size = length;
    return result;
  });
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
