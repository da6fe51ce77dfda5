// The authenticators against the card's side of the exchange, computed here from Crypto++'s
// single-DES and AES block primitives (not the modes the module uses).
#include <cryptopp/aes.h>
#include <cryptopp/des.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "card/des_cbc_mode.h"
#include "card/desfire_auth_aes.h"
#include "card/desfire_auth_des.h"

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> v) {
  return Bytes(v.begin(), v.end());
}
Bytes Sub(const SecureBytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + from, b.begin() + from + n);
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Xor(Bytes a, const Bytes& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    a[i] ^= b[i];
  return a;
}
Bytes Rot(Bytes a) {
  std::rotate(a.begin(), a.begin() + 1, a.end());
  return a;
}
Bytes Plain(const SecureBytes& b) {
  return Bytes(b.begin(), b.end());
}

// 2K3DES from single DES: E = E_K1 D_K2 E_K1, D = D_K1 E_K2 D_K1.
struct TwoKeyDes {
  explicit TwoKeyDes(const Bytes& key)
      : k1(key.begin(), key.begin() + 8), k2(key.begin() + 8, key.end()) {}
  Bytes Encrypt(const Bytes& in) const { return Des(true, k1, Des(false, k2, Des(true, k1, in))); }
  Bytes Decrypt(const Bytes& in) const { return Des(false, k1, Des(true, k2, Des(false, k1, in))); }
  static Bytes Des(bool encrypt, const Bytes& key, const Bytes& in) {
    Bytes out(8);
    if (encrypt) {
      CryptoPP::DES::Encryption(key.data(), 8).ProcessBlock(in.data(), out.data());
    } else {
      CryptoPP::DES::Decryption(key.data(), 8).ProcessBlock(in.data(), out.data());
    }
    return out;
  }
  Bytes k1, k2;
};

Bytes AesEncryptBlock(const Bytes& key, const Bytes& in) {
  Bytes out(16);
  CryptoPP::AES::Encryption(key.data(), key.size()).ProcessBlock(in.data(), out.data());
  return out;
}

DesfireKey Key(std::uint32_t type, const Bytes& bytes) {
  DesfireKey key;
  key.keyType = type;
  key.keyNumber = 0;
  key.key = ToSecure(bytes);
  return key;
}

const Bytes kDesKey = B({0x5A, 0x17, 0xC3, 0xE2, 0x9B, 0x04, 0xD8, 0x6F, 0x36, 0xE1, 0xA9, 0x4C,
                         0xF2, 0x87, 0x5B, 0x10});
const Bytes kRndB8 = B({1, 2, 3, 4, 5, 6, 7, 8});

template <typename F>
std::string FailureText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

// Exposes the ciphers of the authenticators for their own size checks.
struct OpenDes : DesfireAuthDES {
  using DesfireAuthDES::Decrypt;
  using DesfireAuthDES::DesfireAuthDES;
};
struct OpenAes : DesfireAuthAES {
  using DesfireAuthAES::Decrypt;
  using DesfireAuthAES::DesfireAuthAES;
  using DesfireAuthAES::Encrypt;
};

TEST(DesfireAuthDesTest, AnswersAndVerifiesLikeALegacyReader) {
  TwoKeyDes card(kDesKey);
  DesfireKey key = Key(kKeyType2K3Des, kDesKey);
  DesfireAuthDES auth(&key);
  Bytes rndA = Plain(auth.RndA());
  ASSERT_EQ(rndA.size(), 8u);

  Bytes answer = Plain(auth.ProcessRndB(card.Encrypt(kRndB8)));
  EXPECT_EQ(Plain(auth.RndB()), kRndB8);
  // The card recovers RndA and RndB' from the reader's chained blocks.
  Bytes y1(answer.begin(), answer.begin() + 8);
  Bytes y2(answer.begin() + 8, answer.end());
  EXPECT_EQ(card.Encrypt(y1), rndA);
  EXPECT_EQ(Xor(card.Encrypt(y2), y1), Rot(kRndB8));

  // RndA' is deciphered from a zero chain, not from the chain of the reader's answer.
  DesfireSessionKey session;
  auth.VerifyRndA(card.Encrypt(Rot(rndA)), &session);
  EXPECT_EQ(session.keyType, kKeyType2K3Des);
  EXPECT_EQ(session.keyNumber, 0xFF);
  Bytes expected = Cat(Cat(Sub(auth.RndA(), 0, 4), Sub(auth.RndB(), 0, 4)),
                       Cat(Sub(auth.RndA(), 4, 4), Sub(auth.RndB(), 4, 4)));
  EXPECT_EQ(Plain(session.key), expected);
}

TEST(DesfireAuthDesTest, SingleDesKeyGivesRepeatedSessionKeyAndPlainDes) {
  Bytes k = B({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
  Bytes key16 = Cat(k, k);
  DesfireKey key = Key(kKeyType2K3Des, key16);
  DesfireAuthDES auth(&key);
  Bytes encB = TwoKeyDes::Des(true, k, kRndB8);  // single DES on the card
  Bytes answer = Plain(auth.ProcessRndB(encB));
  EXPECT_EQ(Plain(auth.RndB()), kRndB8);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 8),
            TwoKeyDes::Des(false, k, Plain(auth.RndA())));

  DesfireSessionKey session;
  auth.VerifyRndA(TwoKeyDes::Des(true, k, Rot(Plain(auth.RndA()))), &session);
  Bytes half = Cat(Sub(auth.RndA(), 0, 4), Sub(auth.RndB(), 0, 4));
  EXPECT_EQ(Plain(session.key), Cat(half, half));
}

TEST(DesfireAuthDesTest, DrawsAFreshRndAEachTime) {
  DesfireKey key = Key(kKeyType2K3Des, kDesKey);
  DesfireAuthDES first(&key);
  DesfireAuthDES second(&key);
  EXPECT_NE(Plain(first.RndA()), Plain(second.RndA()));
  EXPECT_TRUE(first.RndB().empty());
}

const Bytes kAesKey = B({0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6, 0xAB, 0xF7, 0x15, 0x88,
                         0x09, 0xCF, 0x4F, 0x3C});
const Bytes kRndB16 = B({0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B,
                         0x3C, 0x2D, 0x1E, 0x0F});

TEST(DesfireAuthAesTest, ChainingValueRunsThroughTheWholeExchange) {
  DesfireKey key = Key(kKeyTypeAes128, kAesKey);
  DesfireAuthAES auth(&key);
  Bytes rndA = Plain(auth.RndA());
  ASSERT_EQ(rndA.size(), 16u);

  Bytes encB = AesEncryptBlock(kAesKey, kRndB16);  // zero IV
  Bytes answer = Plain(auth.ProcessRndB(encB));
  EXPECT_EQ(Plain(auth.RndB()), kRndB16);
  Bytes c1 = AesEncryptBlock(kAesKey, Xor(rndA, encB));
  Bytes c2 = AesEncryptBlock(kAesKey, Xor(Rot(kRndB16), c1));
  EXPECT_EQ(answer, Cat(c1, c2));

  DesfireSessionKey session;
  auth.VerifyRndA(AesEncryptBlock(kAesKey, Xor(Rot(rndA), c2)), &session);
  EXPECT_EQ(session.keyType, kKeyTypeAes128);
  EXPECT_EQ(session.keyNumber, 0xFF);
  Bytes expected = Cat(Cat(Sub(auth.RndA(), 0, 4), Sub(auth.RndB(), 0, 4)),
                       Cat(Sub(auth.RndA(), 12, 4), Sub(auth.RndB(), 12, 4)));
  EXPECT_EQ(Plain(session.key), expected);
}

TEST(DesfireAuthTest, EveryFailureHasItsText) {
  TwoKeyDes card(kDesKey);
  DesfireKey des = Key(kKeyType2K3Des, kDesKey);
  DesfireKey aes = Key(kKeyTypeAes128, kAesKey);
  OpenDes desAuth(&des);
  desAuth.ProcessRndB(card.Encrypt(kRndB8));
  const Bytes rndA = Plain(desAuth.RndA());
  OpenAes aesAuth(&aes);
  const std::string size = "Random number size missmatch.";
  const std::string invalid = "Card returned invalid RndA'.";
  const std::string desBlocks = "Data is empty or not a multiple of block size.";
  const std::string aesBlocks = "Data is empty or non-multiple of block size.";
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[] { DesfireAuthDES auth(nullptr); }, "Pointer to key is nullptr."},
      {[] { DesfireAuthAES auth(nullptr); }, "Pointer to key is nullptr."},
      {[&] { DesfireAuthDES auth(&aes); }, "Invalid key type for 2k3DES auth."},
      {[&] { DesfireAuthAES auth(&des); }, "Invalid key type for AES auth."},
      {[&] { OpenDes(&des).ProcessRndB(Bytes(16)); }, size},
      {[&] { OpenDes(&des).ProcessRndB(Bytes{}); }, size},
      {[&] { OpenAes(&aes).ProcessRndB(Bytes(8)); }, size},
      {[&] { desAuth.VerifyRndA(Bytes(7)); }, size},
      // RndA itself, not rotated, and RndA' under another key.
      {[&] { desAuth.VerifyRndA(card.Encrypt(rndA)); }, invalid},
      {[&] { desAuth.VerifyRndA(TwoKeyDes(Bytes(16, 0x42)).Encrypt(Rot(rndA))); }, invalid},
      {[&] { desAuth.Decrypt(Bytes{}); }, "Data is empty."},
      {[&] { desAuth.Decrypt(Bytes(5)); }, desBlocks},
      {[&] { DesCbcMode(kDesKey).Process(Bytes(9)); }, desBlocks},
      {[&] { aesAuth.Decrypt(Bytes{}); }, aesBlocks},
      {[&] { aesAuth.Decrypt(Bytes(17)); }, aesBlocks},
      {[&] { aesAuth.Encrypt(Bytes(8)); }, aesBlocks},
  };
  for (const auto& [call, text] : cases) {
    EXPECT_EQ(FailureText(call), text);
  }
}

}  // namespace
}  // namespace varlo
