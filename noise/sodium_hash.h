// A Noise hash function over libsodium's incremental interface.
//
// SHA-256, SHA-512 and BLAKE2b differ only in their state type, their three library calls, their
// sizes and the text thrown for a wrong output size; `Functions` supplies those (State, kHashLen,
// kBlockLen, kSizeError, Init, Update, Final) and this template does the rest. The calls' results
// are not examined: they fail only on misuse that the size check rules out. The running state is
// wiped when the object goes.
#ifndef VARLO_NOISE_SODIUM_HASH_H_
#define VARLO_NOISE_SODIUM_HASH_H_

#include <sodium.h>

#include <cstdint>
#include <memory>
#include <span>

#include "noise/hash.h"
#include "noise/libsodium.h"

namespace varlo::noise {

template <typename Functions>
class SodiumHash : public Hash {
 public:
  static constexpr std::uint32_t kHashLen = Functions::kHashLen;
  static constexpr std::uint32_t kBlockLen = Functions::kBlockLen;

  SodiumHash() : sodium_(Libsodium::Instance()) { Ignore(Functions::Init(&state_)); }
  ~SodiumHash() override { sodium_memzero(&state_, sizeof state_); }
  // A copy carries the running state (HMAC reuses a state that has absorbed a key pad).
  SodiumHash(const SodiumHash&) = default;
  SodiumHash& operator=(const SodiumHash&) = default;

  std::uint32_t HashLen() const override { return kHashLen; }
  std::uint32_t BlockLen() const override { return kBlockLen; }
  using Hash::AppendData;
  void AppendData(std::span<const std::uint8_t> data) override {
    if (!data.empty()) {
      Ignore(Functions::Update(&state_, data.data(), data.size()));
    }
  }
  void GetHashAndReset(std::span<std::uint8_t> output) override {
    if (output.size() != kHashLen) {
      throw Functions::kSizeError;
    }
    Ignore(Functions::Final(&state_, output.data()));
    Ignore(Functions::Init(&state_));
  }

 private:
  static void Ignore(int /*result*/) {}

  std::shared_ptr<const Libsodium> sodium_;
  typename Functions::State state_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SODIUM_HASH_H_
