// Internal: the size checks and the one call site of libsodium's combined-mode AEAD functions,
// shared by Aes256Gcm and ChaCha20Poly1305 (same signatures, same sizes).
#ifndef VARLO_NOISE_AEAD_H_
#define VARLO_NOISE_AEAD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "noise/cipher.h"

namespace varlo::noise::aead {

using Nonce = std::array<std::uint8_t, Cipher::kNonceSize>;

using EncryptFunction = int (*)(unsigned char* c, unsigned long long* clen_p,
                                const unsigned char* m, unsigned long long mlen,
                                const unsigned char* ad, unsigned long long adlen,
                                const unsigned char* nsec, const unsigned char* npub,
                                const unsigned char* k);
using DecryptFunction = int (*)(unsigned char* m, unsigned long long* mlen_p, unsigned char* nsec,
                                const unsigned char* c, unsigned long long clen,
                                const unsigned char* ad, unsigned long long adlen,
                                const unsigned char* npub, const unsigned char* k);

std::size_t Encrypt(EncryptFunction encrypt, std::span<const std::uint8_t> key, const Nonce& nonce,
                    std::span<const std::uint8_t> ad, std::span<const std::uint8_t> plaintext,
                    std::span<std::uint8_t> ciphertext, std::size_t offset);

std::size_t Decrypt(DecryptFunction decrypt, std::span<const std::uint8_t> key, const Nonce& nonce,
                    std::span<const std::uint8_t> ad, std::span<const std::uint8_t> ciphertext,
                    std::span<std::uint8_t> plaintext, std::size_t offset);

}  // namespace varlo::noise::aead

#endif  // VARLO_NOISE_AEAD_H_
