// The reader's side of the DESFire three-pass mutual authentication.
//
// An authenticator lives for one authentication: it draws the reader's random number RndA
// when it is made, `ProcessRndB` deciphers the card's RndB and builds the reader's answer
// (RndA followed by RndB rotated left by one byte, enciphered), and `VerifyRndA` checks that
// the card's last answer deciphers to RndA rotated left by one byte. The subclasses supply the
// cipher and the session-key layout. The card exchanges themselves are `Desfire`'s.
// Failures are std::runtime_error with fixed texts.
#ifndef VARLO_CARD_DESFIRE_AUTH_BASE_H_
#define VARLO_CARD_DESFIRE_AUTH_BASE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "card/desfire_key.h"
#include "common/secure_bytes.h"

namespace varlo {

class DesfireAuthBase {
 public:
  virtual ~DesfireAuthBase() = default;
  DesfireAuthBase(const DesfireAuthBase&) = delete;
  DesfireAuthBase& operator=(const DesfireAuthBase&) = delete;

  // Deciphers the card's enciphered RndB (exactly one block, else "Random number size
  // missmatch.") and returns the two enciphered blocks to send in the second pass.
  SecureBytes ProcessRndB(std::span<const std::uint8_t> encryptedRndB);
  // Checks the card's enciphered RndA' (one block); throws "Card returned invalid RndA'." when
  // it is not RndA rotated left by one byte. Fills `sessionKey` when it is given.
  void VerifyRndA(std::span<const std::uint8_t> encryptedRndA,
                  DesfireSessionKey* sessionKey = nullptr);

  SecureBytes RndA() const { return rndA_; }
  SecureBytes RndB() const { return rndB_; }

 protected:
  // Throws "Pointer to key is nullptr." for a null `key`. Draws RndA.
  DesfireAuthBase(std::size_t blockSize, const DesfireKey* key);

  virtual SecureBytes Decrypt(std::span<const std::uint8_t> data) = 0;
  // Legacy DESFire authentication enciphers with the deciphering direction, hence the default.
  virtual SecureBytes Encrypt(std::span<const std::uint8_t> data) { return Decrypt(data); }
  virtual void GetSessionKey(DesfireSessionKey& sessionKey) = 0;

  DesfireKey key_;
  std::size_t blockSize_;
  SecureBytes rndA_;
  SecureBytes rndB_;
};

// `bytes` rotated left by one byte: bytes 1 to the end, then byte 0.
SecureBytes RotateLeft(std::span<const std::uint8_t> bytes);

}  // namespace varlo

#endif  // VARLO_CARD_DESFIRE_AUTH_BASE_H_
