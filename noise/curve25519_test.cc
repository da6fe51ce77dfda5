#include "noise/curve25519.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::Thrown;

Bytes Public(const std::shared_ptr<KeyPair>& pair) {
  return Bytes(pair->PublicKey().begin(), pair->PublicKey().end());
}

// RFC 7748, section 6.1.
TEST(Curve25519Test, Rfc7748KeysAndSharedSecret) {
  Curve25519 dh;
  auto alice =
      dh.GenerateKeyPair(Hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  auto bob =
      dh.GenerateKeyPair(Hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  EXPECT_EQ(Public(alice), Hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  EXPECT_EQ(Public(bob), Hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
  Bytes shared_a(32), shared_b(32);
  dh.DH(alice, bob->PublicKey(), shared_a);
  dh.DH(bob, alice->PublicKey(), shared_b);
  EXPECT_EQ(shared_a, Hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));
  EXPECT_EQ(shared_b, shared_a);
  // Fresh key pairs are random.
  EXPECT_NE(dh.GenerateKeyPair()->PrivateKey(), dh.GenerateKeyPair()->PrivateKey());
}

TEST(Curve25519Test, SizeChecksFailBeforeWriting) {
  Curve25519 dh;
  EXPECT_EQ(Thrown([&] { dh.GenerateKeyPair(Bytes(31)); }),
            "Curve25519 Generate KeyPair failed, private Key size");
  auto pair = dh.GenerateKeyPair();
  Bytes shared(32, 0xaa), short_shared(31, 0xaa);
  EXPECT_EQ(Thrown([&] { dh.DH(nullptr, Bytes(32), shared); }),
            "Dh failed, private Key is null or private Key size error");
  EXPECT_EQ(Thrown([&] { dh.DH(pair, Bytes(31), shared); }), "Dh failed, public Key size");
  EXPECT_EQ(Thrown([&] { dh.DH(pair, Bytes(32), short_shared); }), "Dh failed, shared Key size");
  EXPECT_EQ(shared, Bytes(32, 0xaa));
  // A low-order public key gives an all-zero secret, which Noise accepts.
  dh.DH(pair, Bytes(32, 0), shared);
  EXPECT_EQ(shared, Bytes(32, 0));
}

TEST(KeyPairTest, ChecksInOrder) {
  EXPECT_EQ(Thrown([] { KeyPair({}, {}); }), "KeyPair failed, private Key is empty");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(32), {}); }), "KeyPair failed, pulbic Key is empty");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(31), SecureBytes(33)); }),
            "Private key must have length of 32 bytes.");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(32), SecureBytes(33)); }),
            "Public key must have length of 32 bytes.");
}

}  // namespace
}  // namespace varlo::noise
