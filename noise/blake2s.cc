#include "noise/blake2s.h"

#include <algorithm>
#include <cstring>

#include "common/secure_bytes.h"

namespace varlo::noise {
namespace {

// RFC 7693, section 2.6 (the SHA-256 initial values).
constexpr std::array<std::uint32_t, 8> kIv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                              0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// RFC 7693, section 2.7: message word schedule of each round.
constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

constexpr std::uint32_t RotateRight(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

std::uint32_t LoadLittleEndian(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// RFC 7693, section 3.1, with the rotation constants of BLAKE2s (16, 12, 8, 7).
inline void Mix(std::uint32_t* v, int a, int b, int c, int d, std::uint32_t x, std::uint32_t y) {
  v[a] = v[a] + v[b] + x;
  v[d] = RotateRight(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = RotateRight(v[b] ^ v[c], 12);
  v[a] = v[a] + v[b] + y;
  v[d] = RotateRight(v[d] ^ v[a], 8);
  v[c] = v[c] + v[d];
  v[b] = RotateRight(v[b] ^ v[c], 7);
}

}  // namespace

Blake2s::Blake2s() {
  Reset();
}

Blake2s::Blake2s(std::size_t digest_length, std::span<const std::uint8_t> key)
    : digest_length_(digest_length), key_length_(key.size()) {
  std::copy(key.begin(), key.end(), key_.begin());
  Reset();
}

Blake2s::~Blake2s() {
  Wipe(std::span(reinterpret_cast<std::uint8_t*>(h_.data()), sizeof h_));
  Wipe(buffer_);
  Wipe(key_);
}

void Blake2s::Compute(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data,
                      std::span<std::uint8_t> digest) {
  if (key.size() > 32 || digest.empty() || digest.size() > 32) {
    throw "Blake2s failed, parameter size";
  }
  Blake2s hash(digest.size(), key);
  hash.AppendData(data);
  hash.Finish(digest);
}

void Blake2s::Reset() {
  h_ = kIv;
  // Parameter block: digest length, key length, fanout 1, depth 1.
  h_[0] ^= 0x01010000u ^ static_cast<std::uint32_t>(key_length_ << 8) ^
           static_cast<std::uint32_t>(digest_length_);
  t_ = {0, 0};
  Wipe(buffer_);
  buffered_ = 0;
  // A key is processed as a first block of its own, padded with zeros.
  if (key_length_ != 0) {
    std::copy_n(key_.begin(), key_length_, buffer_.begin());
    buffered_ = kBlockLen;
  }
}

// RFC 7693, section 3.2.
void Blake2s::Compress(const std::uint8_t* block, bool last) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = LoadLittleEndian(block + 4 * i);
  }
  std::uint32_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h_[i];
    v[i + 8] = kIv[i];
  }
  v[12] ^= t_[0];
  v[13] ^= t_[1];
  if (last) {
    v[14] = ~v[14];
  }
  for (const auto& s : kSigma) {
    Mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    Mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    Mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    Mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    Mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    Mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    Mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    Mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) {
    h_[i] ^= v[i] ^ v[i + 8];
  }
  Wipe(std::span(reinterpret_cast<std::uint8_t*>(m), sizeof m));
  Wipe(std::span(reinterpret_cast<std::uint8_t*>(v), sizeof v));
}

void Blake2s::AppendData(std::span<const std::uint8_t> data) {
  auto count = [this](std::size_t bytes) {
    t_[0] += static_cast<std::uint32_t>(bytes);
    if (t_[0] < bytes) {
      ++t_[1];
    }
  };
  // The last block must be compressed with the final flag, so a full buffer is only compressed
  // once more input arrives.
  while (!data.empty()) {
    if (buffered_ == kBlockLen) {
      count(kBlockLen);
      Compress(buffer_.data(), false);
      buffered_ = 0;
    }
    std::size_t take = std::min<std::size_t>(kBlockLen - buffered_, data.size());
    std::memcpy(buffer_.data() + buffered_, data.data(), take);
    buffered_ += take;
    data = data.subspan(take);
  }
}

void Blake2s::GetHashAndReset(std::span<std::uint8_t> output) {
  if (output.size() != kHashLen) {
    throw "GetHashAndReset Blake2s failed, hash size";
  }
  Finish(output);
}

void Blake2s::Finish(std::span<std::uint8_t> output) {
  t_[0] += static_cast<std::uint32_t>(buffered_);
  if (t_[0] < buffered_) {
    ++t_[1];
  }
  std::memset(buffer_.data() + buffered_, 0, kBlockLen - buffered_);
  Compress(buffer_.data(), true);
  for (std::size_t i = 0; i < output.size(); ++i) {
    output[i] = static_cast<std::uint8_t>(h_[i / 4] >> (8 * (i % 4)));
  }
  Reset();
}

}  // namespace varlo::noise
