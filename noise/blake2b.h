// BLAKE2b-512 without a key (the Noise hash "BLAKE2b") over libsodium.
#ifndef VARLO_NOISE_BLAKE2B_H_
#define VARLO_NOISE_BLAKE2B_H_

#include "noise/sodium_hash.h"

namespace varlo::noise {

struct Blake2bFunctions {
  using State = crypto_generichash_blake2b_state;
  static constexpr std::uint32_t kHashLen = 64;
  static constexpr std::uint32_t kBlockLen = 128;
  static constexpr const char* kSizeError = "GetHashAndReset failed, hash size";
  static int Init(State* state) {
    return crypto_generichash_blake2b_init(state, nullptr, 0, kHashLen);
  }
  static constexpr auto Update = crypto_generichash_blake2b_update;
  static int Final(State* state, unsigned char* digest) {
    return crypto_generichash_blake2b_final(state, digest, kHashLen);
  }
};

class Blake2b final : public SodiumHash<Blake2bFunctions> {};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_BLAKE2B_H_
