// The host's UTF-8 string record (a PIN): bytes and their count, not terminated.
#ifndef VARLO_MODULE_UTF8_STRING_H_
#define VARLO_MODULE_UTF8_STRING_H_

#include "common/secure_bytes.h"
#include "include/varlo_module.h"

namespace varlo {

// Copies the record's bytes as they are (no UTF-8 validation) into a self-wiping buffer, since
// the text is a PIN. Throws ModuleException (RESULT_INVALID_PARAMETER) for a null record
// ("Utf8 string is nullptr."), null bytes ("Utf8 string contains nullptr.") or a count of 0
// ("Utf8 string is empty."), checked in that order.
SecureBytes Utf8StringBytes(const ModuleUtf8String* record);

}  // namespace varlo

#endif  // VARLO_MODULE_UTF8_STRING_H_
