#include "token/pbkdf2_sha256.h"

#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <array>

#include "common/secure_bytes.h"

namespace varlo {
namespace {

using Word = CryptoPP::word32;
constexpr std::size_t kBlockBytes = CryptoPP::SHA256::BLOCKSIZE;    // 64
constexpr std::size_t kDigestBytes = CryptoPP::SHA256::DIGESTSIZE;  // 32
constexpr std::size_t kStateWords = kDigestBytes / 4;
constexpr std::size_t kBlockWords = kBlockBytes / 4;

// Crypto++ wants the state and the block 16-byte aligned for its SIMD code.
struct alignas(16) State {
  std::array<Word, kStateWords> words;
};
struct alignas(16) Block {
  std::array<Word, kBlockWords> words;
};

template <typename Array>
void WipeArray(Array& array) {
  Wipe(std::span(reinterpret_cast<std::uint8_t*>(array.data()), sizeof(array)));
}

Word LoadBigEndian(const std::uint8_t* p) {
  return Word{p[0]} << 24 | Word{p[1]} << 16 | Word{p[2]} << 8 | Word{p[3]};
}

// The SHA-256 state after one 64-byte block of the key XORed with `pad`.
State PadState(std::span<const std::uint8_t> key, std::uint8_t pad) {
  std::array<std::uint8_t, kBlockBytes> bytes;
  bytes.fill(pad);
  for (std::size_t i = 0; i < key.size(); ++i)
    bytes[i] ^= key[i];
  Block block;
  for (std::size_t i = 0; i < kBlockWords; ++i)
    block.words[i] = LoadBigEndian(&bytes[4 * i]);
  State state;
  CryptoPP::SHA256::InitState(state.words.data());
  CryptoPP::SHA256::Transform(state.words.data(), block.words.data());
  WipeArray(bytes);
  WipeArray(block.words);
  return state;
}

// A block holding a 32-byte digest after a 64-byte pad block: the digest words, the 0x80
// marker, zeros and the message length of 96 bytes in bits. Only words 0 to 7 change.
Block DigestBlock() {
  Block block{};
  block.words[kStateWords] = 0x80000000u;
  block.words[kBlockWords - 1] = (kBlockBytes + kDigestBytes) * 8;
  return block;
}

}  // namespace

void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> derived) {
  iterations = std::max<std::uint32_t>(iterations, 1);

  // HMAC's key: the password, or its digest when longer than a block.
  SecureBytes key(password.begin(), password.end());
  if (key.size() > kBlockBytes) {
    key.resize(kDigestBytes);
    CryptoPP::SHA256().CalculateDigest(key.data(), password.data(), password.size());
  }
  State inner = PadState(key, 0x36);
  State outer = PadState(key, 0x5C);

  CryptoPP::HMAC<CryptoPP::SHA256> hmac(password.data(), password.size());
  SecureBytes first(kDigestBytes);
  Block innerBlock = DigestBlock();
  Block outerBlock = DigestBlock();
  State state;
  std::array<Word, kStateWords> sum;

  for (std::uint32_t index = 1; derived.size() > (index - 1) * kDigestBytes; ++index) {
    // U1 = HMAC(password, salt || INT(index)); its length varies, so the stock HMAC does it.
    const std::array<std::uint8_t, 4> counter = {
        static_cast<std::uint8_t>(index >> 24), static_cast<std::uint8_t>(index >> 16),
        static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)};
    hmac.Update(salt.data(), salt.size());
    hmac.Update(counter.data(), counter.size());
    hmac.Final(first.data());
    for (std::size_t i = 0; i < kStateWords; ++i) {
      sum[i] = innerBlock.words[i] = LoadBigEndian(&first[4 * i]);
    }

    // U(j+1) = H(outer pad || H(inner pad || Uj)): one compression from each saved pad state.
    for (std::uint32_t round = 1; round < iterations; ++round) {
      state = inner;
      CryptoPP::SHA256::Transform(state.words.data(), innerBlock.words.data());
      std::copy(state.words.begin(), state.words.end(), outerBlock.words.begin());
      state = outer;
      CryptoPP::SHA256::Transform(state.words.data(), outerBlock.words.data());
      for (std::size_t i = 0; i < kStateWords; ++i) {
        innerBlock.words[i] = state.words[i];
        sum[i] ^= state.words[i];
      }
    }

    const std::size_t offset = (index - 1) * kDigestBytes;
    const std::size_t take = std::min(kDigestBytes, derived.size() - offset);
    for (std::size_t i = 0; i < take; ++i) {
      derived[offset + i] = static_cast<std::uint8_t>(sum[i / 4] >> (24 - 8 * (i % 4)));
    }
  }

  WipeArray(inner.words);
  WipeArray(outer.words);
  WipeArray(state.words);
  WipeArray(innerBlock.words);
  WipeArray(outerBlock.words);
  WipeArray(sum);
}

}  // namespace varlo
