#include "module/utf8_string.h"

#include "common/module_exception.h"

namespace varlo {

SecureBytes Utf8StringBytes(const ModuleUtf8String* record) {
  if (record == nullptr)
    throw ModuleException("Utf8 string is nullptr.", RESULT_INVALID_PARAMETER);
  if (record->bytes == nullptr) {
    throw ModuleException("Utf8 string contains nullptr.", RESULT_INVALID_PARAMETER);
  }
  if (record->count == 0)
    throw ModuleException("Utf8 string is empty.", RESULT_INVALID_PARAMETER);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(record->bytes);
  return SecureBytes(bytes, bytes + record->count);
}

}  // namespace varlo
