// PBKDF2-HMAC-SHA-256 (PKCS #5 v2.1, RFC 8018) for the token's PIN key.
//
// The same function as Crypto++'s PKCS5_PBKDF2_HMAC<SHA256>, computed in a fraction of its
// time: the SHA-256 states after the HMAC inner and outer pad blocks are computed once per
// password, so each iteration costs two SHA-256 compressions instead of four. The
// compressions are Crypto++'s own (which use the CPU's SHA extensions where present).
// Intermediate values live on the stack and are wiped before the function returns.
#ifndef VARLO_TOKEN_PBKDF2_SHA256_H_
#define VARLO_TOKEN_PBKDF2_SHA256_H_

#include <cstdint>
#include <span>

namespace varlo {

// Derives derived.size() bytes from `password` and `salt` in `iterations` rounds (0 is taken
// as 1).
void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> derived);

}  // namespace varlo

#endif  // VARLO_TOKEN_PBKDF2_SHA256_H_
