// A Noise cipher over one of libsodium's combined-mode AEAD constructions.
//
// Aes256Gcm and ChaCha20Poly1305 have the same sizes and the same library signatures; they
// differ only in their two library calls and in the byte order of the 64-bit counter inside the
// 12-byte nonce (four zero bytes, then the counter). This class holds those and does the work:
// every size check before anything is written, and the one place where the library's results
// are examined.
#ifndef VARLO_NOISE_AEAD_H_
#define VARLO_NOISE_AEAD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "noise/cipher.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class SodiumAead : public Cipher {
 public:
  std::size_t Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                      std::span<const std::uint8_t> ad, std::span<const std::uint8_t> plaintext,
                      std::span<std::uint8_t> ciphertext, std::size_t offset) const override;
  std::size_t Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                      std::span<const std::uint8_t> ad, std::span<const std::uint8_t> ciphertext,
                      std::span<std::uint8_t> plaintext, std::size_t offset) const override;

 protected:
  using EncryptFunction = int (*)(unsigned char* c, unsigned long long* clen_p,
                                  const unsigned char* m, unsigned long long mlen,
                                  const unsigned char* ad, unsigned long long adlen,
                                  const unsigned char* nsec, const unsigned char* npub,
                                  const unsigned char* k);
  using DecryptFunction = int (*)(unsigned char* m, unsigned long long* mlen_p, unsigned char* nsec,
                                  const unsigned char* c, unsigned long long clen,
                                  const unsigned char* ad, unsigned long long adlen,
                                  const unsigned char* npub, const unsigned char* k);
  enum class CounterOrder { kBigEndian, kLittleEndian };

  SodiumAead(EncryptFunction encrypt, DecryptFunction decrypt, CounterOrder order);

  const Libsodium& Sodium() const { return *sodium_; }

 private:
  std::array<std::uint8_t, kNonceSize> EncodeNonce(std::uint64_t counter) const;

  std::shared_ptr<const Libsodium> sodium_;
  EncryptFunction encrypt_;
  DecryptFunction decrypt_;
  CounterOrder order_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_AEAD_H_
