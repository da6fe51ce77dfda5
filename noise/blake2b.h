// BLAKE2b-512 without a key (the Noise hash "BLAKE2b") over libsodium.
#ifndef VARLO_NOISE_BLAKE2B_H_
#define VARLO_NOISE_BLAKE2B_H_

#include <sodium.h>

#include <memory>

#include "noise/hash.h"
#include "noise/libsodium.h"

namespace varlo::noise {

class Blake2b final : public Hash {
 public:
  static constexpr std::uint32_t kHashLen = 64;
  static constexpr std::uint32_t kBlockLen = 128;

  Blake2b();
  ~Blake2b() override;
  Blake2b(const Blake2b&) = delete;
  Blake2b& operator=(const Blake2b&) = delete;

  std::uint32_t HashLen() const override { return kHashLen; }
  std::uint32_t BlockLen() const override { return kBlockLen; }
  using Hash::AppendData;
  void AppendData(std::span<const std::uint8_t> data) override;
  void GetHashAndReset(std::span<std::uint8_t> output) override;

 private:
  void Reset();

  std::shared_ptr<const Libsodium> sodium_;
  crypto_generichash_blake2b_state state_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_BLAKE2B_H_
