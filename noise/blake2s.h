// BLAKE2s-256 without a key (the Noise hash "BLAKE2s"), RFC 7693. libsodium has no BLAKE2s, so
// the compression function is implemented here.
#ifndef VARLO_NOISE_BLAKE2S_H_
#define VARLO_NOISE_BLAKE2S_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "noise/hash.h"

namespace varlo::noise {

class Blake2s final : public Hash {
 public:
  static constexpr std::uint32_t kHashLen = 32;
  static constexpr std::uint32_t kBlockLen = 64;

  Blake2s();
  ~Blake2s() override;
  Blake2s(const Blake2s&) = delete;
  Blake2s& operator=(const Blake2s&) = delete;

  std::uint32_t HashLen() const override { return kHashLen; }
  std::uint32_t BlockLen() const override { return kBlockLen; }
  using Hash::AppendData;
  void AppendData(std::span<const std::uint8_t> data) override;
  void GetHashAndReset(std::span<std::uint8_t> output) override;

  // The general form of RFC 7693: digest of 1 to 32 bytes, key of 0 to 32 bytes.
  static void Compute(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data,
                      std::span<std::uint8_t> digest);

 private:
  Blake2s(std::size_t digest_length, std::span<const std::uint8_t> key);
  void Reset();
  void Finish(std::span<std::uint8_t> digest);
  void Compress(const std::uint8_t* block, bool last);

  std::array<std::uint32_t, 8> h_;
  std::array<std::uint32_t, 2> t_;
  std::array<std::uint8_t, kBlockLen> buffer_;
  std::size_t buffered_ = 0;
  std::size_t digest_length_ = kHashLen;
  std::array<std::uint8_t, 32> key_{};
  std::size_t key_length_ = 0;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_BLAKE2S_H_
