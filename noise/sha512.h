// SHA-512 (the Noise hash "SHA512") over libsodium.
#ifndef VARLO_NOISE_SHA512_H_
#define VARLO_NOISE_SHA512_H_

#include "noise/sodium_hash.h"

namespace varlo::noise {

struct Sha512Functions {
  using State = crypto_hash_sha512_state;
  static constexpr std::uint32_t kHashLen = 64;
  static constexpr std::uint32_t kBlockLen = 128;
  static constexpr const char* kSizeError = "Sha512 GetHashAndReset failed, hash size";
  static constexpr auto Init = crypto_hash_sha512_init;
  static constexpr auto Update = crypto_hash_sha512_update;
  static constexpr auto Final = crypto_hash_sha512_final;
};

class Sha512 final : public SodiumHash<Sha512Functions> {};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SHA512_H_
