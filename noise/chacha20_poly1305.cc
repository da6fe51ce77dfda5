#include "noise/chacha20_poly1305.h"

#include <sodium.h>

#include "noise/aead.h"

namespace varlo::noise {
namespace {

// Four zero bytes, then the counter little-endian.
aead::Nonce EncodeNonce(std::uint64_t counter) {
  aead::Nonce bytes{};
  for (int i = 0; i < 8; ++i) {
    bytes[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
  return bytes;
}

}  // namespace

ChaCha20Poly1305::ChaCha20Poly1305() : sodium_(Libsodium::Instance()) {}

std::size_t ChaCha20Poly1305::Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                                      std::span<const std::uint8_t> ad,
                                      std::span<const std::uint8_t> plaintext,
                                      std::span<std::uint8_t> ciphertext,
                                      std::size_t offset) const {
  return aead::Encrypt(crypto_aead_chacha20poly1305_ietf_encrypt, key, EncodeNonce(nonce), ad,
                       plaintext, ciphertext, offset);
}

std::size_t ChaCha20Poly1305::Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                                      std::span<const std::uint8_t> ad,
                                      std::span<const std::uint8_t> ciphertext,
                                      std::span<std::uint8_t> plaintext, std::size_t offset) const {
  return aead::Decrypt(crypto_aead_chacha20poly1305_ietf_decrypt, key, EncodeNonce(nonce), ad,
                       ciphertext, plaintext, offset);
}

}  // namespace varlo::noise
