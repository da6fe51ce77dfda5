#include "noise/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Thrown;
using M = PatternModifiers;

std::string NameOf(const Protocol& protocol) {
  auto name = protocol.GetName();
  return std::string(name.begin(), name.end());
}

TEST(ProtocolParseTest, PatternModifiersAndFunctions) {
  struct Case {
    const char* name;
    const char* pattern;
    std::vector<M> modifiers;
  };
  const Case cases[] = {
      {"Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b", "IX", {M::Psk2}},
      {"Noise_NN_25519_AESGCM_SHA256", "NN", {M::None}},
      {"Noise_Npsk0_25519_AESGCM_SHA512", "N", {M::Psk0}},
      {"Noise_XXfallback+psk0_25519_AESGCM_BLAKE2s", "XX", {M::Fallback, M::Psk0}},
  };
  for (const Case& c : cases) {
    auto protocol = Protocol::Parse(c.name);
    EXPECT_EQ(protocol->GetPattern().name, c.pattern);
    EXPECT_EQ(protocol->GetModifiers(), c.modifiers);
    EXPECT_EQ(NameOf(*protocol), c.name);
  }
  auto module = Protocol::Parse(cases[0].name);
  EXPECT_EQ(&module->GetDh(), &DhFunction::Curve25519());
  EXPECT_EQ(&module->GetCipher(), &CipherFunction::ChaChaPoly());
  EXPECT_EQ(&module->GetHash(), &HashFunction::Blake2b());
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
  const char kLength[] = "Protcol parse failed, Invalid protocol name";
  const char kName[] = "Invalid Noise protocol name.";
  const char kPattern[] = "Invalid Noise handshake pattern name.";
  const char kModifier[] = "Parse modifiers failed, unknow pattern modifier";
  const char kCanonical[] = "no valid protocol name.";
  const std::pair<std::string, const char*> cases[] = {
      {"Noise_N_25519_AESGCM_SHA", kLength},
      {"Noise_NN_25519_AESGCM_SHA256" + std::string(230, 'x'), kLength},
      {"noise_NN_25519_AESGCM_SHA256", kName},
      {"NoiseNN25519AESGCMSHA256xx", kName},
      {"Noise_ZZ_25519_AESGCM_SHA256", kPattern},
      {"Noise_nn_25519_AESGCM_SHA256", kPattern},
      {"Noise_NK1_25519_AESGCM_SHA256", kModifier},
      {"Noise_XXX_25519_AESGCM_SHA256", kModifier},
      {"Noise_XXfallback+psk0+psk1_25519_AESGCM_SHA256", kModifier},
      {"Noise_XXPSK0_25519_AESGCM_SHA256", kModifier},
      {"Noise_N_448_AESGCM_SHA256", "Unknown DH function."},
      {"Noise_NN_25519_aesgcm_SHA256", "Unknown Cipher Function."},
      {"Noise_NN_25519_AESGCMSHA256", "Unknown Cipher Function."},
      {"Noise_NN_25519_AESGCM_sha256", "Unknown Hash Function."},
      {"Noise_NN_25519_AESGCM_SHA256_x", kName},
      {"Noise_NN_25519_AESGCM_SHA256_x_y", kCanonical},
      {"Noise_XXpsk0+psk0_25519_AESGCM_SHA256", kCanonical},
  };
  for (const auto& [name, error] : cases) {
    EXPECT_EQ(Thrown([&name = name] { Protocol::Parse(name); }), error) << name;
  }
}

TEST(ProtocolConstructorTest, MissingPartsBadModifiersAndOverlongNames) {
  auto nn = HandshakePattern::Find("NN");
  const auto* cipher = &CipherFunction::AesGcm();
  const auto* hash = &HashFunction::Sha256();
  EXPECT_EQ(Thrown([&] { Protocol(nullptr, cipher, hash, {}); }),
            "Protocol failed, missing HandshakePattern");
  EXPECT_EQ(Thrown([&] { Protocol(nn, nullptr, hash, {}); }), "Protocol failed, missing cipher");
  EXPECT_EQ(Thrown([&] { Protocol(nn, cipher, nullptr, {}); }), "Protocol failed, missing hash");
  EXPECT_EQ(Thrown([&] { Protocol(nn, cipher, hash, {static_cast<M>(3)}); }),
            "Get protocol name failed, invalid modifiers");
  auto long_pattern = std::make_shared<const HandshakePattern>(HandshakePattern{
      std::string(230, 'N'), PreMessagePattern::Empty(), PreMessagePattern::Empty(), {}});
  EXPECT_EQ(Thrown([&] { Protocol(long_pattern, cipher, hash, {}); }),
            "Get protocol name failed, protocol name size");
}

}  // namespace
}  // namespace varlo::noise
