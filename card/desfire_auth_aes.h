// AES-128 authentication (command 0xAA): AES in CBC mode whose chaining value runs through the
// whole exchange. It starts at zero for RndB, continues from RndB's cipher block into
// RndA||RndB', and from that message's last cipher block into RndA'.
#ifndef VARLO_CARD_DESFIRE_AUTH_AES_H_
#define VARLO_CARD_DESFIRE_AUTH_AES_H_

#include "card/desfire_auth_base.h"

namespace varlo {

class DesfireAuthAES : public DesfireAuthBase {
 public:
  // Throws "Pointer to key is nullptr." or, for a key type other than AES-128,
  // "Invalid key type for AES auth.".
  explicit DesfireAuthAES(const DesfireKey* key);

 protected:
  // Both throw "Data is empty or non-multiple of block size." for data that is not whole
  // 16-byte blocks.
  SecureBytes Decrypt(std::span<const std::uint8_t> data) override;
  SecureBytes Encrypt(std::span<const std::uint8_t> data) override;
  // RndA[0..3] RndB[0..3] RndA[12..15] RndB[12..15].
  void GetSessionKey(DesfireSessionKey& sessionKey) override;

 private:
  SecureBytes iv_;
};

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_AUTH_AES_H_
