// AES-256-GCM (the Noise cipher "AESGCM") over libsodium. The 12-byte nonce is four zero bytes
// and the 64-bit counter, big-endian. Needs the CPU's AES instructions: the constructor throws
// "AES-GCM is not available on this CPU." without them.
#ifndef VARLO_NOISE_AES256_GCM_H_
#define VARLO_NOISE_AES256_GCM_H_

#include <memory>

#include "noise/cipher.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class Aes256Gcm final : public Cipher {
 public:
  Aes256Gcm();

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

#endif  // VARLO_NOISE_AES256_GCM_H_
