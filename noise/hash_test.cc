#include <gtest/gtest.h>

#include <array>

#include "noise/blake2b.h"
#include "noise/blake2s.h"
#include "noise/sha256.h"
#include "noise/sha512.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::Thrown;

template <typename H>
Bytes Digest(H& hash, std::span<const std::uint8_t> data) {
  Bytes out(H::kHashLen);
  hash.AppendData(data);
  hash.GetHashAndReset(out);
  return out;
}

Bytes Sequence(std::size_t length) {
  Bytes data(length);
  for (std::size_t i = 0; i < length; ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return data;
}

const Bytes kAbc = {'a', 'b', 'c'};

TEST(HashTest, LibsodiumHashesGiveTheStandardDigestsOfAbc) {
  Sha256 sha256;
  Sha512 sha512;
  Blake2b blake2b;
  EXPECT_EQ(Digest(sha256, kAbc),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Digest(sha512, kAbc),
            Hex("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a"
                "836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"));
  // RFC 7693, appendix A.
  EXPECT_EQ(Digest(blake2b, kAbc),
            Hex("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792"
                "dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"));
}

TEST(HashTest, GetHashAndResetStartsANewMessage) {
  Sha256 sha256;
  Blake2s blake2s;
  Bytes junk = Sequence(100);
  Digest(sha256, junk);
  Digest(blake2s, junk);
  EXPECT_EQ(Digest(sha256, kAbc),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Digest(blake2s, kAbc),
            Hex("508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982"));
}

TEST(HashTest, OutputMustBeExactlyHashLen) {
  Sha256 sha256;
  Sha512 sha512;
  Blake2b blake2b;
  Blake2s blake2s;
  std::array<std::uint8_t, 32> short_output{};
  std::array<std::uint8_t, 64> long_output{};
  EXPECT_EQ(Thrown([&] { sha256.GetHashAndReset(long_output); }),
            "Sha256 GetHashAndReset failed, hash size");
  EXPECT_EQ(Thrown([&] { sha512.GetHashAndReset(short_output); }),
            "Sha512 GetHashAndReset failed, hash size");
  EXPECT_EQ(Thrown([&] { blake2b.GetHashAndReset(short_output); }),
            "GetHashAndReset failed, hash size");
  EXPECT_EQ(Thrown([&] { blake2s.GetHashAndReset(long_output); }),
            "GetHashAndReset Blake2s failed, hash size");
  EXPECT_EQ(long_output, (std::array<std::uint8_t, 64>{}));
}

TEST(HashTest, AppendDataRangeFeedsOnlyThatRangeAndRejectsOutsideRanges) {
  Sha256 whole;
  Sha256 ranged;
  Bytes framed = {'x', 'a', 'b', 'c', 'y'};
  ranged.AppendData(framed, 1, 3);
  Bytes out(32);
  ranged.GetHashAndReset(out);
  EXPECT_EQ(out, Digest(whole, kAbc));
  EXPECT_EQ(Thrown([&] { ranged.AppendData(framed, 3, 3); }), "AppendData failed, range");
  EXPECT_EQ(Thrown([&] { ranged.AppendData(framed, 6, 0); }), "AppendData failed, range");
}

// RFC 7693, appendix B.
TEST(Blake2sTest, Rfc7693DigestOfAbc) {
  Blake2s blake2s;
  EXPECT_EQ(Digest(blake2s, kAbc),
            Hex("508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982"));
}

// RFC 7693, appendix E: the grand hash over unkeyed and keyed digests of several lengths.
TEST(Blake2sTest, Rfc7693SelfTest) {
  auto sequence = [](std::size_t length, std::uint32_t seed) {
    Bytes out(length);
    std::uint32_t a = 0xDEAD4BAD * seed;
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

// Lengths around the block size catch a last block compressed without the final flag.
TEST(Blake2sTest, DigestsAroundBlockBoundariesFedWholeOrByteByByte) {
  const std::pair<std::size_t, const char*> cases[] = {
      {0, "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9"},
      {1, "a28ac19d6bcbe2cd1d7de183485768d598e996b07889b9b11f418cb1b4a4fb0d"},
      {63, "de27df0e375d83c49f1af9ca8270f9f2fe7b70bf800fc01672db0e9746021ebf"},
      {64, "5377e4ff957bda4d4535f4879876b71a61056c4cec31e78397c66ec47a86a130"},
      {65, "19b1b26fba093f4a670d8913e1b71cbb2916dfa701018cc6b05785c966593374"},
      {128, "83470c75afa23d90cd7659906e4b47daa278131fbb225241dd37a40fd5355ac7"},
      {129, "26fd8892ab0a5f12d4acbff1efd7dcd92b99e2d377f888f07e3cb81b232b11cf"},
      {1000, "02a016193469710efadf8fb005ca19b509331cb847df5598cc0794bded669681"},
  };
  Blake2s blake2s;
  for (const auto& [length, expected] : cases) {
    Bytes data = Sequence(length);
    EXPECT_EQ(Digest(blake2s, data), Hex(expected)) << length;
    for (std::uint8_t byte : data) {
      blake2s.AppendData(std::span(&byte, 1));
    }
    Bytes out(32);
    blake2s.GetHashAndReset(out);
    EXPECT_EQ(out, Hex(expected)) << length << " byte by byte";
  }
}

}  // namespace
}  // namespace varlo::noise
