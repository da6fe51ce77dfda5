#include "apps/vcard/virtual_desfire.h"

#include <cryptopp/aes.h>
#include <cryptopp/des.h>
#include <cryptopp/modes.h>
#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <vector>

#include "common/hex.h"

namespace varlo::vcard {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const char* text) {
  return *FromHex(text);
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes RotateLeft(const Bytes& b) {
  Bytes r(b.begin() + 1, b.end());
  r.push_back(b[0]);
  return r;
}

const Bytes kKey = Hex("404142434445464748494a4b4c4d4e4f");

// The reader's side of the exchanges, written from the published protocol with Crypto++ alone,
// so that it shares no code with the card.
struct LegacyReader {
  Bytes D(const Bytes& block) const {
    CryptoPP::DES_EDE2::Decryption d(kKey.data(), kKey.size());
    Bytes out(8);
    d.ProcessBlock(block.data(), out.data());
    return out;
  }
  // y1 = D(RndA), y2 = D(RndB' ^ y1).
  Bytes SecondPass(const Bytes& rndA, const Bytes& rndB) const {
    Bytes y1 = D(rndA);
    Bytes x2 = RotateLeft(rndB);
    for (int i = 0; i < 8; ++i)
      x2[i] ^= y1[i];
    return Concat(y1, D(x2));
  }
};

class VirtualDesfireTest : public ::testing::Test {
 protected:
  VirtualDesfireTest()
      : card_(MakeImage(), CardBehaviour{}, [this](std::span<std::uint8_t> out) {
          for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = rndB_[i % rndB_.size()];
        }) {}

  static CardImage MakeImage() {
    CardImage image;
    image.uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    image.appKey = ToSecure(kKey);
    Bytes big(150);
    std::iota(big.begin(), big.end(), 0);
    image.files[0x1F] = Bytes(96, 0x1F);
    image.files[1] = big;
    image.files[3] = Hex("0a0b0c0d0e0f10");
    return image;
  }

  Bytes Send(const Bytes& frame) { return card_.Transmit(frame); }
  std::string SendHex(const char* frame) { return ToHex(card_.Transmit(Hex(frame))); }
  // Sends each frame of "frame:answer frame:answer ..." (hex) and expects its answer; an answer
  // ending in '*' is a prefix.
  void Script(const std::string& exchanges) {
    std::istringstream in(exchanges);
    for (std::string step; in >> step;) {
      const std::string frame = step.substr(0, step.find(':'));
      const std::string expected = step.substr(step.find(':') + 1);
      const std::string answer = SendHex(frame.c_str());
      if (expected.ends_with('*'))
        EXPECT_TRUE(answer.starts_with(expected.substr(0, expected.size() - 1))) << step;
      else
        EXPECT_EQ(answer, expected) << step;
    }
  }

  void SelectAndAuthenticate() {
    ASSERT_EQ(SendHex("5a000001"), "00");
    Bytes first = Send(Hex("0a00"));
    ASSERT_EQ(first.size(), 9u);
    ASSERT_EQ(first[0], 0xAF);
    // The card sends E(RndB): what the reader deciphers with one DES-EDE2 decryption.
    const Bytes rndB = reader_.D(Bytes(first.begin() + 1, first.end()));
    ASSERT_EQ(rndB, rndB_);
    const Bytes rndA = Hex("a0a1a2a3a4a5a6a7");
    Bytes second = Send(Concat({0xAF}, reader_.SecondPass(rndA, rndB)));
    ASSERT_EQ(second.size(), 9u);
    ASSERT_EQ(second[0], 0x00);
    ASSERT_EQ(ToHex(reader_.D(Bytes(second.begin() + 1, second.end()))), ToHex(RotateLeft(rndA)));
  }

  Bytes rndB_ = Hex("0102030405060708");
  LegacyReader reader_;
  VirtualDesfire card_;
};

// The module's reading of the card (GetVersion, selection, legacy authentication, file list,
// chunked reads, wrapped-only cards, one-time aborts) runs end to end against this card; the
// tests here pin what that does not reach: the legacy and AES exchanges against an independent
// reader, malformed frames, error statuses, offsets and the test hooks.
// In order: unknown commands, an empty frame, file list and read outside an application;
// wrapped case 1 (neither Lc nor Le), case 3 (no Le) and case 4 (Le), an Lc that does not match
// the frame, P1/P2 not zero, a frame too short; only the token application and the card level
// are selected; key 1 (the application has key 0 only), an AES command for the 2K3DES key, no
// key number, a second pass of the wrong length, a read without authentication.
TEST_F(VirtualDesfireTest, MalformedAndRefusedCommandsGetTheirStatus) {
  Script(
      "c4:1c af:1c :6700 6f:9d bd03000000000000:9d 906f0000:919d 905a000003000001:9100 "
      "905a00000300000100:9100 906f000000:01031f9100 905a00000500000100:6700 "
      "905a010003000001:6a86 9060:6700 5a000002:a0 5a0000:7e 5a000000:00 5a000001:00 "
      "0a01:40 aa00:ae 0a:7e 0a00:af* af00:7e bd03000000000000:ae");
  card_.Behaviour().applicationPresent = false;
  Script("5a000001:a0");
}

TEST_F(VirtualDesfireTest, LegacyAuthenticationAcceptsOnlyTheRotatedRndB) {
  SelectAndAuthenticate();
  Script("bd03000000000000:000a0b0c0d0e0f10 0a00:af*");
  // RndB not rotated: the reader does not know the key (or got the protocol wrong).
  Bytes y1 = reader_.D(Hex("1112131415161718"));
  Bytes x2 = rndB_;
  for (int i = 0; i < 8; ++i)
    x2[i] ^= y1[i];
  EXPECT_EQ(ToHex(Send(Concat({0xAF}, Concat(y1, reader_.D(x2))))), "ae");
  EXPECT_EQ(SendHex("bd03000000000000"), "ae");
}

TEST_F(VirtualDesfireTest, AesAuthenticationChainsTheIvThroughTheExchange) {
  card_.Behaviour().keyType = CardCipher::kAES128;
  rndB_ = Hex("000102030405060708090a0b0c0d0e0f");
  ASSERT_EQ(SendHex("5a000001"), "00");
  // The AES key refuses the legacy command.
  EXPECT_EQ(SendHex("0a00"), "ae");

  Bytes first = Send(Hex("aa00"));
  ASSERT_EQ(first.size(), 17u);
  ASSERT_EQ(first[0], 0xAF);
  const Bytes encB(first.begin() + 1, first.end());
  Bytes zero(16, 0);
  Bytes rndB(16);
  CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption(kKey.data(), 16, zero.data())
      .ProcessData(rndB.data(), encB.data(), 16);
  EXPECT_EQ(ToHex(rndB), "000102030405060708090a0b0c0d0e0f");

  const Bytes rndA = Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const Bytes plain = Concat(rndA, RotateLeft(rndB));
  Bytes sent(32);
  CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption(kKey.data(), 16, encB.data())
      .ProcessData(sent.data(), plain.data(), 32);
  Bytes second = Send(Concat({0xAF}, sent));
  ASSERT_EQ(second.size(), 17u);
  ASSERT_EQ(second[0], 0x00);
  Bytes rndA2(16);
  CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption(kKey.data(), 16, sent.data() + 16)
      .ProcessData(rndA2.data(), second.data() + 1, 16);
  EXPECT_EQ(ToHex(rndA2), ToHex(RotateLeft(rndA)));
  EXPECT_EQ(SendHex("bd03000000000000"), "000a0b0c0d0e0f10");
}

// In order: chunks of 4; 3 bytes from offset 2 (least significant byte first); wrapped,
// continued with wrapped 0xAF frames; no such file, a short frame, offset and length past the
// end, the last byte; another command aborts a pending read. Then a power cycle drops selection
// and authentication.
TEST_F(VirtualDesfireTest, ReadsInChunksWithOffsetsUntilAbortedOrPowerCycled) {
  SelectAndAuthenticate();
  card_.Behaviour().chunkSize = 4;
  Script(
      "bd03000000000000:af0a0b0c0d af:000e0f10 bd03020000030000:000c0d0e "
      "90bd00000703000000000000:0a0b0c0d91af 90af000000:0e0f109100 bd04000000000000:f0 "
      "bd03000000:7e bd03080000000000:be bd03050000030000:be bd03060000010000:0010 "
      "bd01000000000000:af* 6f:ca af:1c 6f:0001031f");
  card_.Reset();
  Script("bd03000000000000:9d 5a000001:00 bd03000000000000:ae");
}

TEST_F(VirtualDesfireTest, InjectedAnswerReplacesOneFrameWithoutExecutingIt) {
  card_.Behaviour().injected.push_back({0xAF, {0x00, 0x01}});
  card_.Behaviour().injected.push_back({0x5A, {0x90, 0x00}});
  // The GetVersion exchange is still at its second frame; matched by INS in a wrapped frame.
  Script("60:af04010101001805 af:0001 af:af04010101041805 905a00000300000100:9000");
  EXPECT_TRUE(card_.Behaviour().injected.empty());
}

}  // namespace
}  // namespace varlo::vcard
