// SHA-512 (the Noise hash "SHA512") over libsodium.
#ifndef VARLO_NOISE_SHA512_H_
#define VARLO_NOISE_SHA512_H_

#include <sodium.h>

#include <memory>

#include "noise/hash.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class Sha512 final : public Hash {
 public:
  static constexpr std::uint32_t kHashLen = 64;
  static constexpr std::uint32_t kBlockLen = 128;

  Sha512();
  ~Sha512() override;
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;

  std::uint32_t HashLen() const override { return kHashLen; }
  std::uint32_t BlockLen() const override { return kBlockLen; }
  using Hash::AppendData;
  void AppendData(std::span<const std::uint8_t> data) override;
  void GetHashAndReset(std::span<std::uint8_t> output) override;

 private:
  void Reset();

  std::shared_ptr<const Libsodium> sodium_;
  crypto_hash_sha512_state state_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SHA512_H_
