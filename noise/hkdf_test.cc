#include "noise/hkdf.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::Thrown;

Bytes Counting(std::size_t length, std::uint8_t first) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(first + i);
  }
  return bytes;
}

const std::string kFox = "The quick brown fox jumps over the lazy dog";

// Expected values come from an independent HMAC (Python's hmac module): key 00 01 02 ... of
// HashLen bytes over kFox; HKDF with chaining key a0 a1 ... and input key material 20 21 ... 3f.
struct Known {
  const char* hmac;
  const char* hkdf3;
  const char* hkdf2_empty;
};

template <typename H>
void CheckKnownValues(const Known& known) {
  constexpr std::size_t kLen = H::kHashLen;
  Hkdf<H> hkdf;
  Bytes mac(kLen);
  hkdf.HmacHash(Counting(kLen, 0), Bytes(kFox.begin(), kFox.end()), mac);
  EXPECT_EQ(mac, Hex(known.hmac));

  Bytes three(3 * kLen);
  hkdf.ExtractAndExpand3(Counting(kLen, 0xa0), Counting(32, 0x20), three);
  EXPECT_EQ(three, Hex(known.hkdf3));

  // ExtractAndExpand2 gives the first two outputs of the same derivation.
  Bytes two(2 * kLen);
  hkdf.ExtractAndExpand2(Counting(kLen, 0xa0), Counting(32, 0x20), two);
  EXPECT_EQ(two, Bytes(three.begin(), three.begin() + 2 * kLen));

  hkdf.ExtractAndExpand2(Counting(kLen, 0xa0), {}, two);
  EXPECT_EQ(two, Hex(known.hkdf2_empty));
}

TEST(HkdfTest, Sha256KnownValues) {
  CheckKnownValues<Sha256>(
      {"f87ad256151fc7b4c5dffa4adb3ebe911a8eeb8a8ebdee3c2a4a8e5f5ec02c32",
       "82d6dc11a1e8ff360bf329f88e19809109fe67ee31f5dc418b55e3a5880cb5134e03552e247af355ed2ed30b01"
       "b55d9b39c707afbbba3837de8273550029ca057d5125cc83fd8b6d4a89d4e8654b075547841a40ba26951f76"
       "ec552c5e63ce24",
       "9a2435fd1d9eabf0811fcc6ba0464fbfdf8d7d4d8ae535b704b49dfcad9ff5fbff8826c9f2d7e9a853f02863d1"
       "f61fc56764353ec00b1b46bb85a294b5cef675"});
}

TEST(HkdfTest, Sha512KnownValues) {
  CheckKnownValues<Sha512>(
      {"8ef6fa91d810afa6546adf7bc2428273c116e0cb5578620462606659f08f78e9e27f2dee70c0ddb1a890c2c1b6"
       "f9c02766388e1fdb7d9b90fd9f46ede1fd8390",
       "f7ad14ebcba26ef47449b96ee4a462ee9a909545e9435652a8706c69c27fc580e94fc3477d727e7e294445ff03"
       "013e0c0e11320487d46005f2e34378a1089c26c34c207a12cb02419d913744dd303c7afcdc6605627f6e129d7c"
       "425453900d2fbb125b649d8d18a8bf51e50687e7b65c1df0a811090bb250957e41df453eb9a3329e0bb586289e"
       "95eff7a67b93c493e300f958aebce33f958999dbfb113a4621f527b4a3fb8d485ea5f98f9c6cd2ca057a3716c1"
       "f2e2f4f67318bd7f04b1c0eb",
       "d4c9ad020354336e4953beeeb16abbdf7380deea2e23c473e64203373a52b3c003b9ace57e783f6f697b1fc838"
       "a8eaa3b09a4a54d9f86f3620ddb2119c2d2a87b070e6809e13b08abe9ba87ed333379795921371c391eaf77aa9"
       "e89efd8d0ff863dfc4613ba95c47177149903b26325cafd4a3c86a7275e7bb487a93c10b98d6"});
}

TEST(HkdfTest, Blake2sKnownValues) {
  CheckKnownValues<Blake2s>(
      {"f4660dee21c6a48e2a3d695ceedc26693e37b64b5ac5227476578517ee87fe6d",
       "be6069e55ad13f1fcf91f6bcf70f10c18baf9b1a46fab001550043ee83dad45faa18c61e12d643289461492605"
       "ab5f4013db5afc05a07376896d7ca46402e2ca9b6cc4eba68e98468a31065cfc334220c1d8853a3c57d4a9391e"
       "fda04ee8e2a7",
       "a4fa8351d9c0b2c5ca5a9ca2da2cdacde01d06e8b45ed39ad1393f95f997c9041db641463d804bf184eec88d66"
       "b50f728aa3d31a942eaa417b7d86b33b1bebb4"});
}

TEST(HkdfTest, Blake2bKnownValues) {
  CheckKnownValues<Blake2b>(
      {"04ee7426defe6a0b873ebc0a47f31391324e13534aaea631564fcac3659e94fe6bd07501e39038dfa63d0140c6"
       "b03c2cb1bf715764bc9807894474141d58f81e",
       "a73ecce13f3362bc15f9c469239d6eabd1e34b92993f5b4062fe7c5bac245136151eccfc4e1f7d809c5b86497e"
       "4293afed0a7f3c79cbe9bc35ec91576ced2f2425c6187ef703dcd5cbda7874acde6b9a580ce2ae70e88c38ad99"
       "d280940a3be676e907ed3d316feaef686a8c47a844a75c3627f9fd3cd79c4db757004e3cdcc5bd9815f1501f42"
       "a442ba230ee0b0e7d3d48cbbb2512b20b3ccd66913255aa1ed887da94e1094cfe6af22ed75b8d1d01704f7a247"
       "9998f6a713e5c2f1b86cb6f1",
       "611a6a86f15ef6dd300dff10c77f169d1f0ba3f4526df0543c4c5b1282b652a38dc3a93d798b43817241e6ee0a"
       "0db82798514551032a138bc613d07563d7c9dcdad6281475e2f8feea8093b9be4c510cb01c1c86b00b40dcc271"
       "6ad61d1ce868a209df7e4a002dd30e54e69049210ac5ee45ef5ecd5d21565f32f84b99604514"});
}

TEST(HkdfTest, SizeChecksFailBeforeWriting) {
  Hkdf<Sha256> hkdf;
  Bytes key(32), data(5), ikm(32);
  Bytes output(32, 0xee);
  EXPECT_EQ(Thrown([&] { hkdf.HmacHash(Bytes(31), data, output); }), "HmacHash failed, key size");
  Bytes wrong(33, 0xee);
  EXPECT_EQ(Thrown([&] { hkdf.HmacHash(key, data, wrong); }), "HmacHash failed, hmac size");
  EXPECT_EQ(wrong, Bytes(33, 0xee));

  Bytes two(64, 0xee), three(96, 0xee);
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand2(Bytes(64), ikm, two); }),
            "ExtractAndExpand2 failed, chaining Key size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand2(key, ikm, three); }),
            "ExtractAndExpand2 failed, output size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand3(Bytes(16), ikm, three); }),
            "ExtractAndExpand3 failed, chaining Key size");
  EXPECT_EQ(Thrown([&] { hkdf.ExtractAndExpand3(key, ikm, two); }),
            "ExtractAndExpand3 failed, output size");
  EXPECT_EQ(two, Bytes(64, 0xee));
  EXPECT_EQ(three, Bytes(96, 0xee));
}

}  // namespace
}  // namespace varlo::noise
