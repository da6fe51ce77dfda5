#include "tokendata/token_object.h"

#include <stdexcept>

namespace varlo {

void CheckObjectType(const TokenObject& object) {
  constexpr std::uint32_t kBinaryType = 1;
  if (object.type == 0 || object.type == 2 || object.type == 5) {
    throw std::runtime_error("Unsupported object type.");
  }
  if (object.type == kBinaryType && object.application.empty()) {
    throw std::runtime_error("Application id for binary object missing.");
  }
}

}  // namespace varlo
