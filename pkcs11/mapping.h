// What the module's answers are in PKCS#11 terms: result codes, text fields, the attributes of
// the data object each module object is, and object templates turned into the module's search
// conditions. Pure functions, shared by the bridge and its unit test.
#ifndef VARLO_PKCS11_MAPPING_H_
#define VARLO_PKCS11_MAPPING_H_

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "include/varlo_module.h"
#include "modulehost/module_table.h"

namespace varlo::pkcs11 {

inline constexpr std::string_view kManufacturer = "Varlo";

// Fills a blank-padded PKCS#11 text field, cutting `text` at a character boundary if too long.
template <std::size_t N>
void Pad(unsigned char (&field)[N], std::string_view text) {
  std::size_t length = std::min(text.size(), N);
  while (length < text.size() && length > 0 && (text[length] & 0xC0) == 0x80)
    --length;  // do not split a UTF-8 sequence
  std::memset(field, ' ', N);
  std::memcpy(field, text.data(), length);
}

// The PKCS#11 result for a module result other than success.
CK_RV ResultFor(ModuleResult code);

// The value of `type` for the data object `info` describes, as PKCS#11 encodes it; nullopt
// when the object has no such attribute. CKA_VALUE is not among these: it is read on demand.
std::optional<std::vector<std::uint8_t>> FixedAttribute(const host::ObjectInfo& info,
                                                        CK_ATTRIBUTE_TYPE type);

// A template as a module search: the conditions the module can check, or `none` when no data
// object can match (another class, a false CKA_TOKEN, a malformed value). Every attribute of
// the template is still compared with each object found: the conditions only narrow the search.
struct SearchPlan {
  host::ObjectSearch search;
  bool none = false;
};
SearchPlan PlanSearch(std::span<const CK_ATTRIBUTE> pattern);

}  // namespace varlo::pkcs11

#endif  // VARLO_PKCS11_MAPPING_H_
