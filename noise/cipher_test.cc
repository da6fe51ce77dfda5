// Both AEADs: nonce encodings, sizes and their checks, authentication failures.
#include <gtest/gtest.h>

#include "noise/aes256_gcm.h"
#include "noise/chacha20_poly1305.h"
#include "noise/libsodium.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::Thrown;

Bytes Key() {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(i);
  }
  return key;
}

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

// Nonce 1 must be encoded as 00000000 0100000000000000 (ChaChaPoly, little-endian) or
// 00000000 0000000000000001 (AESGCM, big-endian); the expected ciphertexts were made with those
// nonces by an independent implementation.
TEST(CipherNonceTest, CounterIsEncodedAsTheNoiseSpecificationFixes) {
  ChaCha20Poly1305 chacha;
  Bytes out(kHello.size() + 16);
  EXPECT_EQ(chacha.Encrypt(Key(), 1, kAd, kHello, out, 0), 21u);
  EXPECT_EQ(out, Hex("f7329f33daea64b0262927f7780ddcddae879c6cf5"));
  if (Libsodium::Instance()->IsAesGcmAvailable()) {
    Aes256Gcm aes;
    EXPECT_EQ(aes.Encrypt(Key(), 1, kAd, kHello, out, 0), 21u);
    EXPECT_EQ(out, Hex("7db3d3902b793324921311d81c6afa5c3c84fff6d3"));
  }
}

TYPED_TEST(CipherTest, RoundTripAtAnOffset) {
  TypeParam cipher;
  Bytes sealed(3 + kHello.size() + 16, 0xaa);
  EXPECT_EQ(cipher.Encrypt(Key(), 7, kAd, kHello, sealed, 3), kHello.size() + 16);
  EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 3), Bytes(3, 0xaa));
  Bytes opened(kHello.size());
  EXPECT_EQ(cipher.Decrypt(Key(), 7, kAd, sealed, opened, 3), kHello.size());
  EXPECT_EQ(opened, kHello);
}

TYPED_TEST(CipherTest, EmptyPlaintextIsJustTheTag) {
  TypeParam cipher;
  Bytes sealed(16);
  EXPECT_EQ(cipher.Encrypt(Key(), 0, {}, {}, sealed, 0), 16u);
  Bytes opened;
  EXPECT_EQ(cipher.Decrypt(Key(), 0, {}, sealed, opened, 0), 0u);
}

TYPED_TEST(CipherTest, SizeChecksFailBeforeWriting) {
  TypeParam cipher;
  Bytes out(kHello.size() + 15, 0xaa);
  EXPECT_EQ(Thrown([&] { cipher.Encrypt(Bytes(31), 0, {}, kHello, out, 0); }),
            "Encryption failed, key length error");
  EXPECT_EQ(Thrown([&] { cipher.Encrypt(Key(), 0, {}, kHello, out, 0); }),
            "Encryption failed, ciphertext length");
  Bytes big(kHello.size() + 16, 0xaa);
  EXPECT_EQ(Thrown([&] { cipher.Encrypt(Key(), 0, {}, kHello, big, 1); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(Thrown([&] { cipher.Encrypt(Key(), 0, {}, kHello, big, 1000); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(out, Bytes(kHello.size() + 15, 0xaa));
  EXPECT_EQ(big, Bytes(kHello.size() + 16, 0xaa));

  Bytes sealed(kHello.size() + 16);
  cipher.Encrypt(Key(), 0, {}, kHello, sealed, 0);
  Bytes opened(kHello.size() - 1, 0xaa);
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Bytes(33), 0, {}, sealed, opened, 0); }),
            "Encryption failed, key length error");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 0, {}, Bytes(15), opened, 0); }),
            "Encryption failed, ciphertext length");
  // The range after the offset must still hold a tag.
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 0, {}, Bytes(20), opened, 5); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 0, {}, sealed, opened, 0); }),
            "Encryption failed, plaintext length");
  EXPECT_EQ(opened, Bytes(kHello.size() - 1, 0xaa));
}

TYPED_TEST(CipherTest, TamperedCiphertextWrongNonceOrAdFailAuthentication) {
  TypeParam cipher;
  Bytes sealed(kHello.size() + 16);
  cipher.Encrypt(Key(), 5, kAd, kHello, sealed, 0);
  Bytes opened(kHello.size());
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 6, kAd, sealed, opened, 0); }),
            "Decryption failed.");
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 5, {}, sealed, opened, 0); }), "Decryption failed.");
  sealed[0] ^= 1;
  EXPECT_EQ(Thrown([&] { cipher.Decrypt(Key(), 5, kAd, sealed, opened, 0); }),
            "Decryption failed.");
}

}  // namespace
}  // namespace varlo::noise
