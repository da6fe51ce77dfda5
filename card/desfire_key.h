// Key descriptors of DESFire authentication: the key handed to `Desfire::Auth` and the
// session key it gives back. Both hold their 16 key bytes in a self-wiping container.
#ifndef VARLO_CARD_DESFIRE_KEY_H_
#define VARLO_CARD_DESFIRE_KEY_H_

#include <cstdint>

#include "common/secure_bytes.h"

namespace varlo {

inline constexpr std::uint32_t kKeyType2K3Des = 0;
inline constexpr std::uint32_t kKeyTypeAes128 = 1;

struct DesfireKey {
  std::uint32_t keyType = kKeyType2K3Des;
  std::uint8_t keyNumber = 0;
  SecureBytes key;  // 16 bytes
};

struct DesfireSessionKey {
  std::uint32_t keyType = kKeyType2K3Des;
  std::uint8_t keyNumber = 0xFF;
  SecureBytes key;  // 16 bytes
};

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_KEY_H_
