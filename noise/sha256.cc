#include "noise/sha256.h"

namespace varlo::noise {

Sha256::Sha256() : sodium_(Libsodium::Instance()) {
  Reset();
}

Sha256::~Sha256() {
  sodium_memzero(&state_, sizeof state_);
}

void Sha256::Reset() {
  int ignored = crypto_hash_sha256_init(&state_);
  (void)ignored;
}

void Sha256::AppendData(std::span<const std::uint8_t> data) {
  if (data.empty()) {
    return;
  }
  int ignored = crypto_hash_sha256_update(&state_, data.data(), data.size());
  (void)ignored;
}

void Sha256::GetHashAndReset(std::span<std::uint8_t> output) {
  if (output.size() != kHashLen) {
    throw "Sha256 GetHashAndReset failed, hash size";
  }
  int ignored = crypto_hash_sha256_final(&state_, output.data());
  (void)ignored;
  Reset();
}

}  // namespace varlo::noise
