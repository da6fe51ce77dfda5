#include "noise/aes256_gcm.h"

#include <sodium.h>

#include "noise/aead.h"

namespace varlo::noise {
namespace {

// Four zero bytes, then the counter big-endian.
aead::Nonce EncodeNonce(std::uint64_t counter) {
  aead::Nonce bytes{};
  for (int i = 0; i < 8; ++i) {
    bytes[4 + i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
  }
  return bytes;
}

}  // namespace

Aes256Gcm::Aes256Gcm() : sodium_(Libsodium::Instance()) {
  if (!sodium_->IsAesGcmAvailable()) {
    throw "AES-GCM is not available on this CPU.";
  }
}

std::size_t Aes256Gcm::Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                               std::span<const std::uint8_t> ad,
                               std::span<const std::uint8_t> plaintext,
                               std::span<std::uint8_t> ciphertext, std::size_t offset) const {
  return aead::Encrypt(crypto_aead_aes256gcm_encrypt, key, EncodeNonce(nonce), ad, plaintext,
                       ciphertext, offset);
}

std::size_t Aes256Gcm::Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                               std::span<const std::uint8_t> ad,
                               std::span<const std::uint8_t> ciphertext,
                               std::span<std::uint8_t> plaintext, std::size_t offset) const {
  return aead::Decrypt(crypto_aead_aes256gcm_decrypt, key, EncodeNonce(nonce), ad, ciphertext,
                       plaintext, offset);
}

}  // namespace varlo::noise
