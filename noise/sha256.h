// SHA-256 (the Noise hash "SHA256") over libsodium.
#ifndef VARLO_NOISE_SHA256_H_
#define VARLO_NOISE_SHA256_H_

#include <sodium.h>

#include <memory>

#include "noise/hash.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class Sha256 final : public Hash {
 public:
  static constexpr std::uint32_t kHashLen = 32;
  static constexpr std::uint32_t kBlockLen = 64;

  Sha256();
  ~Sha256() override;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  std::uint32_t HashLen() const override { return kHashLen; }
  std::uint32_t BlockLen() const override { return kBlockLen; }
  using Hash::AppendData;
  void AppendData(std::span<const std::uint8_t> data) override;
  void GetHashAndReset(std::span<std::uint8_t> output) override;

 private:
  void Reset();

  std::shared_ptr<const Libsodium> sodium_;
  crypto_hash_sha256_state state_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SHA256_H_
