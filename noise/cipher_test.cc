// Both AEADs: nonce encodings, sealing and opening, size checks.
#include <gtest/gtest.h>

#include "noise/aes256_gcm.h"
#include "noise/chacha20_poly1305.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Counting;
using testing::Hex;
using testing::Thrown;

const Bytes kKey = Counting(32);
const Bytes kHello = {'h', 'e', 'l', 'l', 'o'};
const Bytes kAd = {'a', 'd'};

template <typename C>
class CipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::is_same_v<C, Aes256Gcm> && !Libsodium::Instance()->IsAesGcmAvailable()) {
      GTEST_SKIP() << "no AES-GCM on this CPU";
    }
  }
};

using Ciphers = ::testing::Types<Aes256Gcm, ChaCha20Poly1305>;
TYPED_TEST_SUITE(CipherTest, Ciphers);

TEST(LibsodiumTest, FailedStartUpThrows) {
  EXPECT_EQ(Thrown([] { Libsodium([] { return -1; }); }),
            std::string("Failed to initialize libsodium: sodium_init failed."));
}

// Counter 1 is the nonce 00000000 0100000000000000 for ChaChaPoly (little-endian) and
// 00000000 0000000000000001 for AESGCM (big-endian); the expected ciphertexts were made with
// those nonces by an independent implementation.
TEST(CipherNonceTest, CounterIsEncodedAsTheNoiseSpecificationFixes) {
  Bytes out(kHello.size() + 16);
  EXPECT_EQ(ChaCha20Poly1305().Encrypt(kKey, 1, kAd, kHello, out, 0), 21u);
  EXPECT_EQ(out, Hex("f7329f33daea64b0262927f7780ddcddae879c6cf5"));
  if (Libsodium::Instance()->IsAesGcmAvailable()) {
    EXPECT_EQ(Aes256Gcm().Encrypt(kKey, 1, kAd, kHello, out, 0), 21u);
    EXPECT_EQ(out, Hex("7db3d3902b793324921311d81c6afa5c3c84fff6d3"));
  }
}

TYPED_TEST(CipherTest, OpensOnlyWithTheSameNonceAdAndBytes) {
  TypeParam cipher;
  // Written at an offset, leaving the bytes before it alone.
  Bytes sealed(3 + kHello.size() + 16, 0xaa);
  EXPECT_EQ(cipher.Encrypt(kKey, 7, kAd, kHello, sealed, 3), kHello.size() + 16);
  EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 3), Bytes(3, 0xaa));
  Bytes opened(kHello.size());
  EXPECT_EQ(cipher.Decrypt(kKey, 7, kAd, sealed, opened, 3), kHello.size());
  EXPECT_EQ(opened, kHello);
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 8, kAd, sealed, opened, 3); }), "Decryption failed.");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 7, {}, sealed, opened, 3); }), "Decryption failed.");
  sealed[4] ^= 1;
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 7, kAd, sealed, opened, 3); }), "Decryption failed.");

  // An empty plaintext is just the tag.
  Bytes tag(16), nothing;
  EXPECT_EQ(cipher.Encrypt(kKey, 0, {}, {}, tag, 0), 16u);
  EXPECT_EQ(cipher.Decrypt(kKey, 0, {}, tag, nothing, 0), 0u);
}

TYPED_TEST(CipherTest, SizeChecksFailBeforeWriting) {
  TypeParam cipher;
  Bytes out(kHello.size() + 16, 0xaa);
  EXPECT_EQ(Thrown([&] { cipher.Encrypt(Bytes(31), 0, {}, kHello, out, 0); }),
            "Encryption failed, key length error");
  for (std::size_t offset : {1, 1000}) {
    EXPECT_EQ(Thrown([&] { cipher.Encrypt(kKey, 0, {}, kHello, out, offset); }),
              "Encryption failed, ciphertext length");
  }
  EXPECT_EQ(out, Bytes(kHello.size() + 16, 0xaa));

  Bytes sealed(kHello.size() + 16);
  cipher.Encrypt(kKey, 0, {}, kHello, sealed, 0);
  Bytes opened(kHello.size() - 1, 0xaa);
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Bytes(33), 0, {}, sealed, opened, 0); }),
            "Encryption failed, key length error");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 0, {}, Bytes(15), opened, 0); }),
            "Encryption failed, ciphertext length");
  // The range after the offset must still hold a tag.
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 0, {}, Bytes(20), opened, 5); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(kKey, 0, {}, sealed, opened, 0); }),
            "Encryption failed, plaintext length");
  EXPECT_EQ(opened, Bytes(kHello.size() - 1, 0xaa));
}

}  // namespace
}  // namespace varlo::noise
