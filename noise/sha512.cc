#include "noise/sha512.h"

namespace varlo::noise {

Sha512::Sha512() : sodium_(Libsodium::Instance()) {
  Reset();
}

Sha512::~Sha512() {
  sodium_memzero(&state_, sizeof state_);
}

void Sha512::Reset() {
  int ignored = crypto_hash_sha512_init(&state_);
  (void)ignored;
}

void Sha512::AppendData(std::span<const std::uint8_t> data) {
  if (data.empty()) {
    return;
  }
  int ignored = crypto_hash_sha512_update(&state_, data.data(), data.size());
  (void)ignored;
}

void Sha512::GetHashAndReset(std::span<std::uint8_t> output) {
  if (output.size() != kHashLen) {
    throw "Sha512 GetHashAndReset failed, hash size";
  }
  int ignored = crypto_hash_sha512_final(&state_, output.data());
  (void)ignored;
  Reset();
}

}  // namespace varlo::noise
