// SHA-256 (the Noise hash "SHA256") over libsodium.
#ifndef VARLO_NOISE_SHA256_H_
#define VARLO_NOISE_SHA256_H_

#include "noise/sodium_hash.h"

namespace varlo::noise {

struct Sha256Functions {
  using State = crypto_hash_sha256_state;
  static constexpr std::uint32_t kHashLen = 32;
  static constexpr std::uint32_t kBlockLen = 64;
  static constexpr const char* kSizeError = "Sha256 GetHashAndReset failed, hash size";
  static constexpr auto Init = crypto_hash_sha256_init;
  static constexpr auto Update = crypto_hash_sha256_update;
  static constexpr auto Final = crypto_hash_sha256_final;
};

class Sha256 final : public SodiumHash<Sha256Functions> {};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SHA256_H_
