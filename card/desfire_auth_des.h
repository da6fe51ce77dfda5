// Legacy 2K3DES authentication (native command 0x0A): every message is processed by a fresh
// `DesCbcMode` from a zero chaining value, in both directions.
#ifndef VARLO_CARD_DESFIRE_AUTH_DES_H_
#define VARLO_CARD_DESFIRE_AUTH_DES_H_

#include "card/desfire_auth_base.h"

namespace varlo {

class DesfireAuthDES : public DesfireAuthBase {
 public:
  // Throws "Pointer to key is nullptr." or, for a key type other than 2K3DES,
  // "Invalid key type for 2k3DES auth.".
  explicit DesfireAuthDES(const DesfireKey* key);

 protected:
  // Throws "Data is empty." for empty data.
  SecureBytes Decrypt(std::span<const std::uint8_t> data) override;
  // RndA[0..3] RndB[0..3] RndA[4..7] RndB[4..7]; for a key whose halves are equal (single
  // DES) the first eight bytes twice.
  void GetSessionKey(DesfireSessionKey& sessionKey) override;
};

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_AUTH_DES_H_
