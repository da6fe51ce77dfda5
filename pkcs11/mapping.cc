#include "pkcs11/mapping.h"

#include <array>
#include <cstring>
#include <string>

namespace varlo::pkcs11 {
namespace {

struct ResultPair {
  ModuleResult module;
  CK_RV pkcs11;
};
constexpr std::array kResults{
    ResultPair{RESULT_PIN_INCORRECT, CKR_PIN_INCORRECT},
    ResultPair{RESULT_PIN_LOCKED, CKR_PIN_LOCKED},
    ResultPair{RESULT_PIN_REQUIRED, CKR_USER_NOT_LOGGED_IN},
    ResultPair{RESULT_TOKEN_NOT_FOUND, CKR_DEVICE_REMOVED},
    ResultPair{RESULT_OBJECT_NOT_FOUND, CKR_OBJECT_HANDLE_INVALID},
    ResultPair{RESULT_WRONG_STATE, CKR_TOKEN_NOT_RECOGNIZED},  // a token not initialized
    ResultPair{RESULT_OBJECT_CRC_MISMATCH, CKR_DEVICE_ERROR},
};

std::vector<std::uint8_t> Bool(bool value) {
  return {static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)};
}

std::vector<std::uint8_t> Text(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Ulong(CK_ULONG value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// A template value as a boolean; nullopt when it is not one CK_BBOOL.
std::optional<bool> BoolValue(const CK_ATTRIBUTE& attribute) {
  if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof(CK_BBOOL))
    return std::nullopt;
  return *static_cast<const CK_BBOOL*>(attribute.pValue) != CK_FALSE;
}

// A template value as text for the module: no zero byte, since the module compares C strings.
std::optional<std::string> TextValue(const CK_ATTRIBUTE& attribute) {
  if (attribute.pValue == nullptr && attribute.ulValueLen != 0)
    return std::nullopt;
  std::string text(static_cast<const char*>(attribute.pValue), attribute.ulValueLen);
  if (text.find('\0') != std::string::npos)
    return std::nullopt;
  return text;
}

}  // namespace

CK_RV ResultFor(ModuleResult code) {
  for (const ResultPair& pair : kResults) {
    if (pair.module == code)
      return pair.pkcs11;
  }
  return CKR_DEVICE_ERROR;
}

std::optional<std::vector<std::uint8_t>> FixedAttribute(const host::ObjectInfo& info,
                                                        CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS:
      return Ulong(CKO_DATA);
    case CKA_TOKEN:
      return Bool(true);
    case CKA_PRIVATE:
      return Bool(info.isPrivate);
    case CKA_MODIFIABLE:
    case CKA_COPYABLE:
    case CKA_DESTROYABLE:
      return Bool(false);
    case CKA_LABEL:
      return Text(info.label);
    case CKA_APPLICATION:
      return Text(info.application);
    default:
      return std::nullopt;
  }
}

SearchPlan PlanSearch(std::span<const CK_ATTRIBUTE> pattern) {
  SearchPlan plan;
  for (const CK_ATTRIBUTE& attribute : pattern) {
    switch (attribute.type) {
      case CKA_LABEL:
      case CKA_APPLICATION: {
        const std::optional<std::string> text = TextValue(attribute);
        if (!text) {
          plan.none = true;
          break;
        }
        const bool label = attribute.type == CKA_LABEL;
        (label ? plan.search.label : plan.search.application) = *text;
        (label ? plan.search.hasLabel : plan.search.hasApplication) = true;
        break;
      }
      case CKA_PRIVATE: {
        const std::optional<bool> isPrivate = BoolValue(attribute);
        if (!isPrivate)
          plan.none = true;
        else
          plan.search.attributes = *isPrivate ? OBJECT_ATTRIBUTE_PRIVATE : OBJECT_ATTRIBUTE_PUBLIC;
        break;
      }
      case CKA_CLASS: {
        CK_OBJECT_CLASS objectClass = 0;
        if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof objectClass)
          plan.none = true;
        else if (std::memcpy(&objectClass, attribute.pValue, sizeof objectClass);
                 objectClass != CKO_DATA)
          plan.none = true;
        break;
      }
      default:
        break;  // compared object by object
    }
  }
  return plan;
}

}  // namespace varlo::pkcs11
