// CipherState of the Noise specification: a key (or none) and a 64-bit nonce over one AEAD.
//
// Without a key, "encryption" copies the plaintext. Each successful encryption or decryption
// uses the current nonce and then advances it; the nonce 2^64 - 1 is never used, so a state
// that reaches it refuses further work. One thread at a time; failures throw a C string and
// leave the nonce unchanged.
#ifndef VARLO_NOISE_CIPHER_STATE_H_
#define VARLO_NOISE_CIPHER_STATE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/secure_bytes.h"
#include "noise/aes256_gcm.h"
#include "noise/chacha20_poly1305.h"

namespace varlo::noise {

template <typename CipherType>
class CipherState {
 public:
  static constexpr std::uint64_t MaxNonce = 0xFFFFFFFFFFFFFFFFull;

  CipherState() = default;

  // key must be 32 bytes; sets the nonce to 0.
  void InitializeKey(std::span<const std::uint8_t> key);
  bool HasKey() const { return !k_.empty(); }
  void SetNonce(std::uint64_t nonce) { n_ = nonce; }
  std::uint64_t Nonce() const { return n_; }

  // Writes at ciphertext[offset...]; returns the number of bytes written.
  std::size_t EncryptWithAd(std::span<const std::uint8_t> ad,
                            std::span<const std::uint8_t> plaintext,
                            std::span<std::uint8_t> ciphertext, std::size_t offset);
  // Reads ciphertext[offset...], writes at the start of `plaintext`; returns its length.
  std::size_t DecryptWithAd(std::span<const std::uint8_t> ad,
                            std::span<const std::uint8_t> ciphertext,
                            std::span<std::uint8_t> plaintext, std::size_t offset);
  // k = first 32 bytes of ENCRYPT(k, MaxNonce, empty, 32 zero bytes); the nonce is kept.
  void Rekey();

 private:
  CipherType cipher_;
  SecureBytes k_;
  std::uint64_t n_ = 0;
};

extern template class CipherState<Aes256Gcm>;
extern template class CipherState<ChaCha20Poly1305>;

}  // namespace varlo::noise

#endif  // VARLO_NOISE_CIPHER_STATE_H_
