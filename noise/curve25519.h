// X25519 (the Noise DH function "25519") over libsodium.
//
// Key pairs come from libsodium's random generator; DH accepts any public key, and an all-zero
// shared secret is not treated as an error (the Noise specification allows it). Not final:
// tests derive from it to fix the ephemeral keys a handshake generates.
#ifndef VARLO_NOISE_CURVE25519_H_
#define VARLO_NOISE_CURVE25519_H_

#include <cstdint>
#include <memory>
#include <span>

#include "noise/dh.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class Curve25519 : public Dh {
 public:
  static constexpr std::uint32_t kDhLen = 32;

  Curve25519();

  std::uint32_t DhLen() const override { return kDhLen; }
  std::shared_ptr<KeyPair> GenerateKeyPair(std::span<const std::uint8_t> private_key) override;
  std::shared_ptr<KeyPair> GenerateKeyPair() override;
  void DH(const std::shared_ptr<const KeyPair>& key_pair, std::span<const std::uint8_t> public_key,
          std::span<std::uint8_t> shared) override;

 private:
  std::shared_ptr<const Libsodium> sodium_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_CURVE25519_H_
