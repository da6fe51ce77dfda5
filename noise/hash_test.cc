// The four hash functions; BLAKE2s, the one implemented here, against RFC 7693.
#include <gtest/gtest.h>

#include "noise/blake2b.h"
#include "noise/blake2s.h"
#include "noise/sha256.h"
#include "noise/sha512.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Counting;
using testing::Hex;
using testing::Thrown;

template <typename H>
Bytes Digest(H& hash, std::span<const std::uint8_t> data) {
  Bytes out(H::kHashLen);
  hash.AppendData(data);
  hash.GetHashAndReset(out);
  return out;
}

// The digest of "abc" (FIPS 180-2; RFC 7693 appendices A and B) from a hash that has already
// produced one digest, so GetHashAndReset must have started over; an output of the wrong size is
// refused untouched with the hash's own text.
template <typename H>
void CheckAbc(const char* expected, std::size_t wrong_size, const char* size_error) {
  H hash;
  Digest(hash, Counting(100));
  EXPECT_EQ(Digest(hash, Bytes{'a', 'b', 'c'}), Hex(expected));
  Bytes wrong(wrong_size, 0xaa);
  EXPECT_EQ(Thrown([&] { hash.GetHashAndReset(wrong); }), size_error);
  EXPECT_EQ(wrong, Bytes(wrong_size, 0xaa));
}

TEST(HashTest, DigestOfAbcAfterAResetAndExactOutputSize) {
  CheckAbc<Sha256>("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 64,
                   "Sha256 GetHashAndReset failed, hash size");
  CheckAbc<Sha512>(
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fe"
      "ebbd454d4423643ce80e2a9ac94fa54ca49f",
      32, "Sha512 GetHashAndReset failed, hash size");
  CheckAbc<Blake2b>(
      "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533"
      "cc9518d38aa8dbf1925ab92386edd4009923",
      32, "GetHashAndReset failed, hash size");
  CheckAbc<Blake2s>("508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982", 64,
                    "GetHashAndReset Blake2s failed, hash size");
}

// RFC 7693, appendix E: the grand hash over unkeyed and keyed digests of several lengths.
TEST(Blake2sTest, Rfc7693SelfTest) {
  auto sequence = [](std::size_t length, std::uint32_t variant) {
    Bytes out(length);
    std::uint32_t a = 0xDEAD4BAD * variant;
    std::uint32_t b = 1;
    for (std::size_t i = 0; i < length; ++i) {
      std::uint32_t t = a + b;
      a = b;
      b = t;
      out[i] = static_cast<std::uint8_t>(t >> 24);
    }
    return out;
  };
  Blake2s grand;
  for (std::size_t digest_length : {16, 20, 28, 32}) {
    for (std::size_t input_length : {0, 3, 64, 65, 255, 1024}) {
      Bytes input = sequence(input_length, static_cast<std::uint32_t>(input_length));
      Bytes digest(digest_length);
      Blake2s::Compute({}, input, digest);
      grand.AppendData(digest);
      Bytes key = sequence(digest_length, static_cast<std::uint32_t>(digest_length));
      Blake2s::Compute(key, input, digest);
      grand.AppendData(digest);
    }
  }
  Bytes result(32);
  grand.GetHashAndReset(result);
  EXPECT_EQ(result, Hex("6a411f08ce25adcdfb02aba641451cec53c598b24f4fc787fbdc88797f4c1dfe"));
}

// A full buffer must wait for more input before it is compressed without the final flag.
TEST(Blake2sTest, ByteByByteEqualsWholeAroundBlockBoundaries) {
  Blake2s hash;
  for (std::size_t length : {63, 64, 65, 128, 129}) {
    const Bytes data = Counting(length);
    for (std::uint8_t byte : data) {
      hash.AppendData(std::span(&byte, 1));
    }
    Bytes fed(32);
    hash.GetHashAndReset(fed);
    EXPECT_EQ(fed, Digest(hash, data)) << length;
  }
}

}  // namespace
}  // namespace varlo::noise
