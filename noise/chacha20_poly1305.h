// ChaCha20-Poly1305 in its IETF form (the Noise cipher "ChaChaPoly") over libsodium. The 12-byte
// nonce is four zero bytes and the 64-bit counter, little-endian.
#ifndef VARLO_NOISE_CHACHA20_POLY1305_H_
#define VARLO_NOISE_CHACHA20_POLY1305_H_

#include <memory>

#include "noise/cipher.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class ChaCha20Poly1305 final : public Cipher {
 public:
  ChaCha20Poly1305();

  std::size_t Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                      std::span<const std::uint8_t> ad, std::span<const std::uint8_t> plaintext,
                      std::span<std::uint8_t> ciphertext, std::size_t offset) const override;
  std::size_t Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                      std::span<const std::uint8_t> ad, std::span<const std::uint8_t> ciphertext,
                      std::span<std::uint8_t> plaintext, std::size_t offset) const override;

 private:
  std::shared_ptr<const Libsodium> sodium_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_CHACHA20_POLY1305_H_
