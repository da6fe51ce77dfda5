#include "noise/cipher_state.h"

#include <gtest/gtest.h>

#include "noise/symmetric_state.h"
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

const Bytes kText = {'n', 'o', 'i', 's', 'e'};

TEST(CipherStateTest, WithoutAKeyTextPassesThroughAndTheNonceStays) {
  CipherState<ChaCha20Poly1305> state;
  EXPECT_FALSE(state.HasKey());
  Bytes out(2 + kText.size(), 0);
  EXPECT_EQ(state.EncryptWithAd({}, kText, out, 2), kText.size());
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()), kText);
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

TEST(CipherStateTest, KeyMustBe32Bytes) {
  CipherState<ChaCha20Poly1305> state;
  EXPECT_EQ(Thrown([&] { state.InitializeKey(Bytes(16)); }), "Initialize Key failed, key length");
  EXPECT_FALSE(state.HasKey());
}

TEST(CipherStateTest, NonceAdvancesOnlyOnSuccess) {
  CipherState<ChaCha20Poly1305> sender;
  CipherState<ChaCha20Poly1305> receiver;
  sender.InitializeKey(Key());
  receiver.InitializeKey(Key());
  Bytes sealed(kText.size() + 16);
  sender.EncryptWithAd({}, kText, sealed, 0);
  EXPECT_EQ(sender.Nonce(), 1u);
  Bytes tampered = sealed;
  tampered.back() ^= 1;
  Bytes opened(kText.size());
  EXPECT_EQ(Thrown([&] { receiver.DecryptWithAd({}, tampered, opened, 0); }), "Decryption failed.");
  EXPECT_EQ(receiver.Nonce(), 0u);
  EXPECT_EQ(receiver.DecryptWithAd({}, sealed, opened, 0), kText.size());
  EXPECT_EQ(opened, kText);
  EXPECT_EQ(receiver.Nonce(), 1u);
  // A refused encryption (buffer too small) does not burn a nonce either.
  Bytes small(kText.size() + 15);
  EXPECT_EQ(Thrown([&] { sender.EncryptWithAd({}, kText, small, 0); }),
            "Encryption failed, ciphertext length");
  EXPECT_EQ(sender.Nonce(), 1u);
}

TEST(CipherStateTest, NonceMaximumIsNeverUsed) {
  CipherState<ChaCha20Poly1305> sender;
  CipherState<ChaCha20Poly1305> receiver;
  sender.InitializeKey(Key());
  receiver.InitializeKey(Key());
  sender.SetNonce(CipherState<ChaCha20Poly1305>::MaxNonce - 1);
  receiver.SetNonce(CipherState<ChaCha20Poly1305>::MaxNonce - 1);
  Bytes sealed(kText.size() + 16);
  Bytes opened(kText.size());
  sender.EncryptWithAd({}, kText, sealed, 0);
  receiver.DecryptWithAd({}, sealed, opened, 0);
  Bytes untouched(kText.size() + 16, 0xaa);
  EXPECT_EQ(Thrown([&] { sender.EncryptWithAd({}, kText, untouched, 0); }),
            "Nonce has reached its maximum vlaue.");
  EXPECT_EQ(Thrown([&] { receiver.DecryptWithAd({}, sealed, opened, 0); }),
            "Nonce has reached its maximum vlaue.");
  EXPECT_EQ(untouched, Bytes(kText.size() + 16, 0xaa));
}

// REKEY(k) = first 32 bytes of ENCRYPT(k, 2^64 - 1, empty, 32 zeros); values from an
// independent ChaCha20-Poly1305.
TEST(CipherStateTest, RekeyDerivesTheNextKeyAndKeepsTheNonce) {
  CipherState<ChaCha20Poly1305> state;
  EXPECT_EQ(Thrown([&] { state.Rekey(); }), "Key is empty");
  state.InitializeKey(Key());
  state.SetNonce(5);
  state.Rekey();
  EXPECT_EQ(state.Nonce(), 5u);
  Bytes sealed(kText.size() + 16);
  state.EncryptWithAd({}, kText, sealed, 0);
  Bytes expected(kText.size() + 16);
  ChaCha20Poly1305().Encrypt(
      Hex("50835543a205b22c9323f2022bc4f67d838f90e61d5ccf33c4513e01f85b5042"), 5, {}, kText,
      expected, 0);
  EXPECT_EQ(sealed, expected);
}

TEST(SymmetricStateTest, MixKeyInputsMustBeEmptyOr32Bytes) {
  const Bytes name = {'N', 'o', 'i', 's', 'e'};
  SymmetricState<ChaCha20Poly1305, Curve25519, Blake2b> state(name);
  EXPECT_EQ(Thrown([&] { state.MixKey(Bytes(31)); }), "MixKey failed, length error");
  EXPECT_EQ(Thrown([&] { state.MixKeyAndHash(Bytes(33)); }), "MixKeyAndHash failed, length error");
  EXPECT_FALSE(state.HasKey());
  state.MixKey({});
  EXPECT_TRUE(state.HasKey());
  // A name that fits in HashLen is the first h, padded with zeros.
  SymmetricState<ChaCha20Poly1305, Curve25519, Blake2b> fresh(name);
  Bytes h(fresh.GetHandshakeHash().begin(), fresh.GetHandshakeHash().end());
  Bytes padded(64, 0);
  std::copy(name.begin(), name.end(), padded.begin());
  EXPECT_EQ(h, padded);
}

}  // namespace
}  // namespace varlo::noise
