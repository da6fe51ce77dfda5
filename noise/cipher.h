// The AEAD cipher of a Noise protocol, as an interface.
//
// Keys are 32 bytes, tags 16 bytes; the 64-bit nonce is encoded into the cipher's 12-byte nonce
// as the Noise specification fixes for that cipher. Implementations hold no key material
// between calls and check every size before they write. Failures throw a C string.
#ifndef VARLO_NOISE_CIPHER_H_
#define VARLO_NOISE_CIPHER_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace varlo::noise {

class Cipher {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kTagSize = 16;
  static constexpr std::size_t kNonceSize = 12;

  virtual ~Cipher() = default;

  // Encrypts `plaintext` and writes ciphertext and tag at ciphertext[offset...]. Returns the
  // number of bytes written (plaintext size + 16).
  virtual std::size_t Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                              std::span<const std::uint8_t> ad,
                              std::span<const std::uint8_t> plaintext,
                              std::span<std::uint8_t> ciphertext, std::size_t offset) const = 0;

  // Decrypts ciphertext[offset...] (ciphertext and tag) and writes the plaintext at the start of
  // `plaintext`. Returns the plaintext length. An authentication failure throws
  // "Decryption failed." and leaves nothing usable in `plaintext`.
  virtual std::size_t Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                              std::span<const std::uint8_t> ad,
                              std::span<const std::uint8_t> ciphertext,
                              std::span<std::uint8_t> plaintext, std::size_t offset) const = 0;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_CIPHER_H_
