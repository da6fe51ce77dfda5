#include "noise/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Thrown;

std::string NameOf(const Protocol& protocol) {
  auto name = protocol.GetName();
  return std::string(name.begin(), name.end());
}

std::string ParseError(const std::string& name) {
  return Thrown([&] { Protocol::Parse(name); });
}

TEST(ProtocolParseTest, TheModulesProtocol) {
  const std::string name = "Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b";
  auto protocol = Protocol::Parse(name);
  EXPECT_EQ(protocol->GetPattern().name, "IX");
  EXPECT_EQ(protocol->GetModifiers(), std::vector{PatternModifiers::Psk2});
  EXPECT_EQ(&protocol->GetDh(), &DhFunction::Curve25519());
  EXPECT_EQ(&protocol->GetCipher(), &CipherFunction::ChaChaPoly());
  EXPECT_EQ(&protocol->GetHash(), &HashFunction::Blake2b());
  EXPECT_EQ(NameOf(*protocol), name);
}

TEST(ProtocolParseTest, PatternsAndModifiers) {
  auto nn = Protocol::Parse("Noise_NN_25519_AESGCM_SHA256");
  EXPECT_EQ(nn->GetPattern().name, "NN");
  EXPECT_EQ(nn->GetModifiers(), std::vector{PatternModifiers::None});
  EXPECT_EQ(&nn->GetHash(), &HashFunction::Sha256());

  auto n = Protocol::Parse("Noise_Npsk0_25519_AESGCM_SHA512");
  EXPECT_EQ(n->GetPattern().name, "N");
  EXPECT_EQ(n->GetModifiers(), std::vector{PatternModifiers::Psk0});

  const std::string fallback = "Noise_XXfallback+psk0_25519_AESGCM_BLAKE2s";
  auto xx = Protocol::Parse(fallback);
  EXPECT_EQ(xx->GetModifiers(), (std::vector{PatternModifiers::Fallback, PatternModifiers::Psk0}));
  EXPECT_EQ(NameOf(*xx), fallback);
}

TEST(ProtocolParseTest, EveryTablePatternWithEveryFunctionRoundTrips) {
  for (const char* pattern :
       {"N", "K", "X", "NN", "NK", "NX", "XN", "XK", "XX", "KN", "KK", "KX", "IN", "IK", "IX"}) {
    for (const char* cipher : {"AESGCM", "ChaChaPoly"}) {
      for (const char* hash : {"SHA256", "SHA512", "BLAKE2s", "BLAKE2b"}) {
        const std::string name =
            std::string("Noise_") + pattern + "psk1_25519_" + cipher + "_" + hash;
        EXPECT_EQ(NameOf(*Protocol::Parse(name)), name);
      }
    }
  }
  EXPECT_EQ(HandshakePattern::Find("NK1"), nullptr);
}

TEST(ProtocolParseTest, NameErrors) {
  EXPECT_EQ(ParseError("Noise_N_25519_AESGCM_SHA"), "Protcol parse failed, Invalid protocol name");
  EXPECT_EQ(ParseError("Noise_NN_25519_AESGCM_SHA256" + std::string(230, 'x')),
            "Protcol parse failed, Invalid protocol name");
  EXPECT_EQ(ParseError("noise_NN_25519_AESGCM_SHA256"), "Invalid Noise protocol name.");
  EXPECT_EQ(ParseError("NoiseNN25519AESGCMSHA256xx"), "Invalid Noise protocol name.");
  EXPECT_EQ(ParseError("Noise_ZZ_25519_AESGCM_SHA256"), "Invalid Noise handshake pattern name.");
  EXPECT_EQ(ParseError("Noise_nn_25519_AESGCM_SHA256"), "Invalid Noise handshake pattern name.");
  EXPECT_EQ(ParseError("Noise_NK1_25519_AESGCM_SHA256"),
            "Parse modifiers failed, unknow pattern modifier");
  EXPECT_EQ(ParseError("Noise_XXX_25519_AESGCM_SHA256"),
            "Parse modifiers failed, unknow pattern modifier");
  EXPECT_EQ(ParseError("Noise_XXfallback+psk0+psk1_25519_AESGCM_SHA256"),
            "Parse modifiers failed, unknow pattern modifier");
  EXPECT_EQ(ParseError("Noise_XXPSK0_25519_AESGCM_SHA256"),
            "Parse modifiers failed, unknow pattern modifier");
  EXPECT_EQ(ParseError("Noise_N_448_AESGCM_SHA256"), "Unknown DH function.");
  EXPECT_EQ(ParseError("Noise_NN_25519_aesgcm_SHA256"), "Unknown Cipher Function.");
  EXPECT_EQ(ParseError("Noise_NN_25519_AESGCMSHA256"), "Unknown Cipher Function.");
  EXPECT_EQ(ParseError("Noise_NN_25519_AESGCM_sha256"), "Unknown Hash Function.");
  EXPECT_EQ(ParseError("Noise_NN_25519_AESGCM_SHA256_x"), "Invalid Noise protocol name.");
  EXPECT_EQ(ParseError("Noise_NN_25519_AESGCM_SHA256_x_y"), "no valid protocol name.");
  EXPECT_EQ(ParseError("Noise_XXpsk0+psk0_25519_AESGCM_SHA256"), "no valid protocol name.");
}

TEST(ProtocolConstructorTest, MissingPartsAndBadModifiersAndOverlongNames) {
  auto nn = HandshakePattern::Find("NN");
  const auto* cipher = &CipherFunction::AesGcm();
  const auto* hash = &HashFunction::Sha256();
  EXPECT_EQ(Thrown([&] { Protocol(nullptr, cipher, hash, {}); }),
            "Protocol failed, missing HandshakePattern");
  EXPECT_EQ(Thrown([&] { Protocol(nn, nullptr, hash, {}); }), "Protocol failed, missing cipher");
  EXPECT_EQ(Thrown([&] { Protocol(nn, cipher, nullptr, {}); }), "Protocol failed, missing hash");
  EXPECT_EQ(Thrown([&] { Protocol(nn, cipher, hash, {static_cast<PatternModifiers>(3)}); }),
            "Get protocol name failed, invalid modifiers");
  auto long_pattern = std::make_shared<const HandshakePattern>(HandshakePattern{
      std::string(230, 'N'), PreMessagePattern::Empty(), PreMessagePattern::Empty(), {}});
  EXPECT_EQ(Thrown([&] { Protocol(long_pattern, cipher, hash, {}); }),
            "Get protocol name failed, protocol name size");
  EXPECT_EQ(NameOf(Protocol(nn, cipher, hash, {})), "Noise_NN_25519_AESGCM_SHA256");
}

}  // namespace
}  // namespace varlo::noise
