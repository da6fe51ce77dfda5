#include "noise/hkdf.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Counting;
using testing::Hex;
using testing::Thrown;

const std::string kFox = "The quick brown fox jumps over the lazy dog";

// Expected values from an independent HMAC (Python's hmac module): the key is 00 01 02 ... of
// HashLen bytes, so a wrong block length or pad shows in every hash.
template <typename H>
void CheckHmac(const char* expected) {
  Bytes mac(H::kHashLen);
  Hkdf<H>().HmacHash(Counting(H::kHashLen), Bytes(kFox.begin(), kFox.end()), mac);
  EXPECT_EQ(mac, Hex(expected));
}

TEST(HkdfTest, HmacKnownValues) {
  CheckHmac<Sha256>("f87ad256151fc7b4c5dffa4adb3ebe911a8eeb8a8ebdee3c2a4a8e5f5ec02c32");
  CheckHmac<Sha512>(
      "8ef6fa91d810afa6546adf7bc2428273c116e0cb5578620462606659f08f78e9e27f2dee70c0ddb1a890c2c1b6f9"
      "c02766388e1fdb7d9b90fd9f46ede1fd8390");
  CheckHmac<Blake2s>("f4660dee21c6a48e2a3d695ceedc26693e37b64b5ac5227476578517ee87fe6d");
  CheckHmac<Blake2b>(
      "04ee7426defe6a0b873ebc0a47f31391324e13534aaea631564fcac3659e94fe6bd07501e39038dfa63d0140c6b0"
      "3c2cb1bf715764bc9807894474141d58f81e");
}

// Chaining key a0 a1 ..., input key material 20 21 ... 3f; same independent source.
TEST(HkdfTest, ExtractAndExpandKnownValues) {
  Hkdf<Sha256> hkdf;
  Bytes three(96);
  hkdf.ExtractAndExpand3(Counting(32, 0xa0), Counting(32, 0x20), three);
  EXPECT_EQ(three, Hex("82d6dc11a1e8ff360bf329f88e19809109fe67ee31f5dc418b55e3a5880cb5134e03552e"
                       "247af355ed2ed30b01b55d9b39c707afbbba3837de8273550029ca057d5125cc83fd8b6d"
                       "4a89d4e8654b075547841a40ba26951f76ec552c5e63ce24"));
  // The two-output form gives the first two outputs of the same derivation.
  Bytes two(64);
  hkdf.ExtractAndExpand2(Counting(32, 0xa0), Counting(32, 0x20), two);
  EXPECT_EQ(two, Bytes(three.begin(), three.begin() + 64));
  hkdf.ExtractAndExpand2(Counting(32, 0xa0), {}, two);
  EXPECT_EQ(two, Hex("9a2435fd1d9eabf0811fcc6ba0464fbfdf8d7d4d8ae535b704b49dfcad9ff5fbff8826c9f2d"
                     "7e9a853f02863d1f61fc56764353ec00b1b46bb85a294b5cef675"));
}

TEST(HkdfTest, SizeChecksFailBeforeWriting) {
  Hkdf<Sha256> hkdf;
  const Bytes key(32), ikm(32);
  Bytes mac(33, 0xee), two(64, 0xee), three(96, 0xee);
  EXPECT_EQ(Thrown([&] { hkdf.HmacHash(Bytes(31), ikm, two); }), "HmacHash failed, key size");
  EXPECT_EQ(Thrown([&] { hkdf.HmacHash(key, ikm, mac); }), "HmacHash failed, hmac size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand2(Bytes(64), ikm, two); }),
            "ExtractAndExpand2 failed, chaining Key size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand2(key, ikm, three); }),
            "ExtractAndExpand2 failed, output size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand3(Bytes(16), ikm, three); }),
            "ExtractAndExpand3 failed, chaining Key size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand3(key, ikm, two); }),
            "ExtractAndExpand3 failed, output size");
  EXPECT_EQ(mac, Bytes(33, 0xee));
  EXPECT_EQ(two, Bytes(64, 0xee));
  EXPECT_EQ(three, Bytes(96, 0xee));
}

}  // namespace
}  // namespace varlo::noise
