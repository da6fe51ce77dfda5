#include "noise/blake2b.h"

namespace varlo::noise {

Blake2b::Blake2b() : sodium_(Libsodium::Instance()) {
  Reset();
}

Blake2b::~Blake2b() {
  sodium_memzero(&state_, sizeof state_);
}

void Blake2b::Reset() {
  int ignored = crypto_generichash_blake2b_init(&state_, nullptr, 0, kHashLen);
  (void)ignored;
}

void Blake2b::AppendData(std::span<const std::uint8_t> data) {
  if (data.empty()) {
    return;
  }
  int ignored = crypto_generichash_blake2b_update(&state_, data.data(), data.size());
  (void)ignored;
}

void Blake2b::GetHashAndReset(std::span<std::uint8_t> output) {
  if (output.size() != kHashLen) {
    throw "GetHashAndReset failed, hash size";
  }
  int ignored = crypto_generichash_blake2b_final(&state_, output.data(), kHashLen);
  (void)ignored;
  Reset();
}

}  // namespace varlo::noise
