// What the module's answers are in PKCS#11 terms: result codes, the attributes of the data
// object each module object is, and object templates turned into the module's search
// conditions. Pure functions, shared by the bridge and its unit test.
#ifndef VARLO_PKCS11_MAPPING_H_
#define VARLO_PKCS11_MAPPING_H_

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "include/varlo_module.h"
#include "modulehost/module_table.h"

namespace varlo::pkcs11 {

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
