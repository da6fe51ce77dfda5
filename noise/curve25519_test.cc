#include "noise/curve25519.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::SecureHex;
using testing::Thrown;

// RFC 7748, section 6.1.
const char kAlicePrivate[] = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char kAlicePublic[] = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char kBobPrivate[] = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
const char kBobPublic[] = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
const char kShared[] = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";

TEST(Curve25519Test, Rfc7748KeysAndSharedSecret) {
  Curve25519 dh;
  auto alice = dh.GenerateKeyPair(Hex(kAlicePrivate));
  auto bob = dh.GenerateKeyPair(Hex(kBobPrivate));
  EXPECT_EQ(Bytes(alice->PublicKey().begin(), alice->PublicKey().end()), Hex(kAlicePublic));
  EXPECT_EQ(Bytes(bob->PublicKey().begin(), bob->PublicKey().end()), Hex(kBobPublic));
  Bytes shared_a(32), shared_b(32);
  dh.DH(alice, bob->PublicKey(), shared_a);
  dh.DH(bob, alice->PublicKey(), shared_b);
  EXPECT_EQ(shared_a, Hex(kShared));
  EXPECT_EQ(shared_b, Hex(kShared));
}

TEST(Curve25519Test, RandomKeyPairsDifferAndAgree) {
  Curve25519 dh;
  auto a = dh.GenerateKeyPair();
  auto b = dh.GenerateKeyPair();
  EXPECT_NE(a->PrivateKey(), b->PrivateKey());
  Bytes ab(32), ba(32);
  dh.DH(a, b->PublicKey(), ab);
  dh.DH(b, a->PublicKey(), ba);
  EXPECT_EQ(ab, ba);
}

TEST(Curve25519Test, SizeChecksFailBeforeWriting) {
  Curve25519 dh;
  EXPECT_EQ(Thrown([&] { dh.GenerateKeyPair(Bytes(31)); }),
            "Curve25519 Generate KeyPair failed, private Key size");
  auto pair = dh.GenerateKeyPair();
  Bytes shared(32, 0xaa);
  EXPECT_EQ(Thrown([&] { dh.DH(nullptr, Bytes(32), shared); }),
            "Dh failed, private Key is null or private Key size error");
  EXPECT_EQ(Thrown([&] { dh.DH(pair, Bytes(31), shared); }), "Dh failed, public Key size");
  Bytes short_shared(31, 0xaa);
  EXPECT_EQ(Thrown([&] { dh.DH(pair, Bytes(32), short_shared); }), "Dh failed, shared Key size");
  EXPECT_EQ(shared, Bytes(32, 0xaa));
}

// A low-order public key gives an all-zero secret; Noise accepts it rather than failing.
TEST(Curve25519Test, AllZeroSharedSecretIsAccepted) {
  Curve25519 dh;
  Bytes shared(32, 0xaa);
  dh.DH(dh.GenerateKeyPair(), Bytes(32, 0), shared);
  EXPECT_EQ(shared, Bytes(32, 0));
}

TEST(KeyPairTest, ChecksInOrder) {
  EXPECT_EQ(Thrown([] { KeyPair({}, {}); }), "KeyPair failed, private Key is empty");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(32), {}); }), "KeyPair failed, pulbic Key is empty");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(31), SecureBytes(33)); }),
            "Private key must have length of 32 bytes.");
  EXPECT_EQ(Thrown([] { KeyPair(SecureBytes(32), SecureBytes(33)); }),
            "Public key must have length of 32 bytes.");
  KeyPair pair(SecureHex(kAlicePrivate), SecureHex(kAlicePublic));
  EXPECT_EQ(pair.PublicKey(), SecureHex(kAlicePublic));
}

}  // namespace
}  // namespace varlo::noise
