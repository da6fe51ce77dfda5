#include "noise/cipher_state.h"

#include <gtest/gtest.h>

#include "noise/symmetric_state.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Counting;
using testing::Hex;
using testing::Thrown;

const Bytes kText = {'n', 'o', 'i', 's', 'e'};

TEST(CipherStateTest, WithoutAKeyTextPassesThroughAndTheNonceStays) {
  CipherState<ChaCha20Poly1305> state;
  EXPECT_EQ(Thrown([&] { state.InitializeKey(Bytes(16)); }), "Initialize Key failed, key length");
  EXPECT_FALSE(state.HasKey());
  Bytes out(2 + kText.size(), 0);
  EXPECT_EQ(state.EncryptWithAd({}, kText, out, 2), kText.size());
  Bytes back(kText.size());
  EXPECT_EQ(state.DecryptWithAd({}, out, back, 2), kText.size());
  EXPECT_EQ(back, kText);
  EXPECT_EQ(state.Nonce(), 0u);
  Bytes small(kText.size() - 1);
  EXPECT_EQ(Thrown([&] { state.EncryptWithAd({}, kText, small, 0); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(Thrown([&] { state.DecryptWithAd({}, kText, small, 0); }),
            "Encryption failed, plaintext length");
}

// REKEY(k) = first 32 bytes of ENCRYPT(k, 2^64 - 1, empty, 32 zeros); the new key comes from an
// independent ChaCha20-Poly1305.
TEST(CipherStateTest, RekeyDerivesTheNextKeyAndKeepsTheNonce) {
  CipherState<ChaCha20Poly1305> state;
  EXPECT_EQ(Thrown([&] { state.Rekey(); }), "Key is empty");
  state.InitializeKey(Counting(32));
  state.SetNonce(5);
  state.Rekey();
  EXPECT_EQ(state.Nonce(), 5u);
  Bytes sealed(kText.size() + 16), expected(kText.size() + 16);
  state.EncryptWithAd({}, kText, sealed, 0);
  ChaCha20Poly1305().Encrypt(
      Hex("50835543a205b22c9323f2022bc4f67d838f90e61d5ccf33c4513e01f85b5042"), 5, {}, kText,
      expected, 0);
  EXPECT_EQ(sealed, expected);
}

TEST(SymmetricStateTest, ShortNameIsThePaddedHashAndMixInputsAreEmptyOr32Bytes) {
  const Bytes name = {'N', 'o', 'i', 's', 'e'};
  SymmetricState<ChaCha20Poly1305, Curve25519, Blake2b> state(name);
  Bytes padded(64, 0);
  std::copy(name.begin(), name.end(), padded.begin());
  EXPECT_EQ(Bytes(state.GetHandshakeHash().begin(), state.GetHandshakeHash().end()), padded);
  EXPECT_EQ(Thrown([&] { state.MixKey(Bytes(31)); }), "MixKey failed, length error");
  EXPECT_EQ(Thrown([&] { state.MixKeyAndHash(Bytes(33)); }), "MixKeyAndHash failed, length error");
  EXPECT_FALSE(state.HasKey());
  state.MixKey({});
  EXPECT_TRUE(state.HasKey());
}

}  // namespace
}  // namespace varlo::noise
