#include "apps/vcard/card_crypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "common/hex.h"

namespace varlo::vcard {
namespace {

std::vector<std::uint8_t> Hex(const char* text) {
  return *FromHex(text);
}
std::string Hex(const SecureBytes& bytes) {
  return ToHex(bytes);
}

TEST(CardCryptoTest, TwoKeyTripleDesWithEqualHalvesIsSingleDes) {
  // The classic DES known answer: key 133457799BBCDFF1, 0123456789ABCDEF -> 85E813540F0AB405.
  const auto key = Hex("133457799bbcdff1133457799bbcdff1");
  const std::vector<std::uint8_t> zero(8, 0);
  auto c =
      ChainForward(CardCipher::k2K3DES, BlockOp::kEncipher, key, zero, Hex("0123456789abcdef"));
  EXPECT_EQ(Hex(c), "85e813540f0ab405");
  auto p = ChainBackward(CardCipher::k2K3DES, BlockOp::kDecipher, key, zero, c);
  EXPECT_EQ(Hex(p), "0123456789abcdef");
}

TEST(CardCryptoTest, AesBlockMatchesFips197) {
  const auto key = Hex("000102030405060708090a0b0c0d0e0f");
  const std::vector<std::uint8_t> zero(16, 0);
  auto c = ChainForward(CardCipher::kAES128, BlockOp::kEncipher, key, zero,
                        Hex("00112233445566778899aabbccddeeff"));
  EXPECT_EQ(Hex(c), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(CardCryptoTest, AesChainingIsCbcBothWays) {
  const auto key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  const auto iv = Hex("000102030405060708090a0b0c0d0e0f");
  std::vector<std::uint8_t> plain(48);
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<std::uint8_t>(i * 7);

  CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption reference(key.data(), key.size(), iv.data());
  std::vector<std::uint8_t> expected(plain.size());
  reference.ProcessData(expected.data(), plain.data(), plain.size());

  auto c = ChainForward(CardCipher::kAES128, BlockOp::kEncipher, key, iv, plain);
  EXPECT_EQ(ToHex(c), ToHex(expected));
  auto p = ChainBackward(CardCipher::kAES128, BlockOp::kDecipher, key, iv, c);
  EXPECT_EQ(ToHex(p), ToHex(plain));
}

TEST(CardCryptoTest, LegacyReceiveUndoesTheReadersDecipherChaining) {
  // A legacy reader sends y[i] = D(x[i] ^ y[i-1]); the card gets x back with E(y[i]) ^ y[i-1].
  const auto key = Hex("00112233445566778899aabbccddeeff");
  const std::vector<std::uint8_t> zero(8, 0);
  const auto x = Hex("0102030405060708a1a2a3a4a5a6a7a8");
  auto y = ChainForward(CardCipher::k2K3DES, BlockOp::kDecipher, key, zero, x);
  auto back = ChainBackward(CardCipher::k2K3DES, BlockOp::kEncipher, key, zero, y);
  EXPECT_EQ(Hex(back), ToHex(x));
}

TEST(CardCryptoTest, RejectsBadSizes) {
  const std::vector<std::uint8_t> key(16, 1), iv8(8, 0), iv16(16, 0);
  const std::vector<std::uint8_t> seven(7, 0), empty;
  EXPECT_THROW(ChainForward(CardCipher::k2K3DES, BlockOp::kEncipher, key, iv8, seven),
               std::invalid_argument);
  EXPECT_THROW(ChainBackward(CardCipher::kAES128, BlockOp::kDecipher, key, iv16, empty),
               std::invalid_argument);
  EXPECT_THROW(ChainForward(CardCipher::kAES128, BlockOp::kEncipher, key, iv8, iv16),
               std::invalid_argument);
  EXPECT_THROW(ChainForward(CardCipher::kAES128, BlockOp::kEncipher, iv8, iv16, iv16),
               std::invalid_argument);
}

}  // namespace
}  // namespace varlo::vcard
