// One data object of a token: metadata from its header record and its stored bytes.
//
// `value` is kept exactly as the card stores it: enciphered, a multiple of 16 bytes. Deciphering
// is the token's business.
#ifndef VARLO_TOKENDATA_TOKEN_OBJECT_H_
#define VARLO_TOKENDATA_TOKEN_OBJECT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo {

struct TokenObject {
  std::string label;
  std::string application;
  bool isPrivate = false;
  std::uint32_t type = 0;
  std::uint64_t size = 0;
  SecureBytes value;

  bool operator==(const TokenObject&) const = default;
};

// The module serves no object of type 0, 2 or 5, and a binary object (type 1) only with its
// application id: throws std::runtime_error "Unsupported object type." or "Application id for
// binary object missing.". Card records and JSON documents are checked alike.
void CheckObjectType(const TokenObject& object);

}  // namespace varlo

#endif  // VARLO_TOKENDATA_TOKEN_OBJECT_H_
