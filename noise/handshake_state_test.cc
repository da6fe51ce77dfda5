#include "noise/handshake_state.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Thrown;

const char kModuleProtocol[] = "Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b";

SecureBytes Psk(std::uint8_t fill) {
  return SecureBytes(32, fill);
}

struct Party {
  std::shared_ptr<KeyPair> static_key = Curve25519().GenerateKeyPair();
  std::shared_ptr<HandshakeStateInterface> state;
  std::shared_ptr<TransportInterface> transport;
  Bytes hash;
};

// Delivers one handshake message from `from` to `to`; returns the message length.
std::size_t Deliver(Party& from, Party& to, const Bytes& payload = {}) {
  Bytes message(Protocol::MaxMessageLength);
  auto written = from.state->WriteMessage(payload, message);
  message.resize(written.bytes);
  if (written.transport) {
    from.transport = written.transport;
    from.hash = written.handshake_hash;
  } else {
    EXPECT_TRUE(written.handshake_hash.empty());
  }
  Bytes received(Protocol::MaxMessageLength);
  auto read = to.state->ReadMessage(message, received);
  EXPECT_EQ(Bytes(received.begin(), received.begin() + read.bytes), payload);
  if (read.transport) {
    to.transport = read.transport;
    to.hash = read.handshake_hash;
  }
  return written.bytes;
}

// Both directions of a transport pair, checked with a short message each way.
void ExpectTransportsTalk(Party& initiator, Party& responder) {
  const Bytes text = {'p', 'i', 'n', 'g'};
  Bytes message(64), payload(64);
  std::size_t n = initiator.transport->WriteMessage(text, message);
  EXPECT_EQ(n, text.size() + 16);
  EXPECT_EQ(responder.transport->ReadMessage(std::span(message).first(n), payload), text.size());
  EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), text);
  n = responder.transport->WriteMessage(text, message);
  EXPECT_EQ(initiator.transport->ReadMessage(std::span(message).first(n), payload), text.size());
}

class IXpsk2Test : public ::testing::Test {
 protected:
  void Create(const SecureBytes& initiator_psk, const SecureBytes& responder_psk) {
    auto protocol = Protocol::Parse(kModuleProtocol);
    initiator_.state =
        protocol->Create(true, {}, initiator_.static_key->PrivateKey(), {}, {&initiator_psk, 1});
    responder_.state =
        protocol->Create(false, {}, responder_.static_key->PrivateKey(), {}, {&responder_psk, 1});
  }

  Party initiator_;
  Party responder_;
};

TEST_F(IXpsk2Test, CompletesWithSharedHashAndWorkingTransports) {
  Create(Psk(7), Psk(7));
  const Bytes payload = {1, 2, 3};
  // e (32), s encrypted under the key the psk flag derives from e (48), payload + tag.
  EXPECT_EQ(Deliver(initiator_, responder_, payload), 32u + 48u + payload.size() + 16u);
  EXPECT_EQ(initiator_.transport, nullptr);
  EXPECT_EQ(
      responder_.state->RemoteStaticPublicKey(),
      Bytes(initiator_.static_key->PublicKey().begin(), initiator_.static_key->PublicKey().end()));
  // e (32), s (48), empty payload + tag.
  EXPECT_EQ(Deliver(responder_, initiator_), 32u + 48u + 16u);
  ASSERT_NE(initiator_.transport, nullptr);
  ASSERT_NE(responder_.transport, nullptr);
  EXPECT_EQ(initiator_.hash.size(), 64u);
  EXPECT_EQ(initiator_.hash, responder_.hash);
  EXPECT_FALSE(initiator_.transport->IsOneWay());
  ExpectTransportsTalk(initiator_, responder_);
}

TEST_F(IXpsk2Test, DifferentPreSharedKeysFailOnTheSecondMessage) {
  Create(Psk(7), Psk(8));
  Deliver(initiator_, responder_);
  Bytes message(Protocol::MaxMessageLength), payload(Protocol::MaxMessageLength);
  auto written = responder_.state->WriteMessage({}, message);
  message.resize(written.bytes);
  EXPECT_EQ(Thrown([&] { initiator_.state->ReadMessage(message, payload); }), "Decryption failed.");
}

TEST_F(IXpsk2Test, TurnOrderAndCompletedHandshake) {
  Create(Psk(7), Psk(7));
  Bytes message(Protocol::MaxMessageLength), payload(Protocol::MaxMessageLength);
  EXPECT_EQ(Thrown([&] { initiator_.state->ReadMessage(Bytes(200), payload); }),
            "Unexpected call to ReadMessage (should be WriteMessage).");
  EXPECT_EQ(Thrown([&] { responder_.state->WriteMessage({}, message); }),
            "Unexpected call to WriteMessage (should be ReadMessage).");
  Deliver(initiator_, responder_);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage({}, message); }),
            "Unexpected call to WriteMessage (should be ReadMessage).");
  Deliver(responder_, initiator_);
  for (auto* party : {&initiator_, &responder_}) {
    EXPECT_EQ(Thrown([&] { party->state->WriteMessage({}, message); }),
              "Cannot call WriteMessage after the handshake has already been completed.");
    EXPECT_EQ(Thrown([&] { party->state->ReadMessage(Bytes(200), payload); }),
              "Cannot call WriteMessage after the handshake has already been completed.");
  }
}

TEST_F(IXpsk2Test, MessageLengthLimits) {
  Create(Psk(7), Psk(7));
  const std::size_t overhead = 32 + 48 + 16;
  Bytes message(Protocol::MaxMessageLength + 10, 0xaa);
  Bytes too_long(Protocol::MaxMessageLength - overhead + 1);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage(too_long, message); }),
            "Noise message must be less than or equal to Protocol::MaxMessageLength bytes in "
            "length.");
  Bytes small(100, 0xaa);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage(Bytes(5), small); }),
            "Message buffer does not have enough space to hold the ciphertext.");
  EXPECT_EQ(small, Bytes(100, 0xaa));
  // The largest payload fills the largest message.
  Bytes largest(Protocol::MaxMessageLength - overhead, 0x55);
  auto written = initiator_.state->WriteMessage(largest, message);
  EXPECT_EQ(written.bytes, Protocol::MaxMessageLength);

  Bytes payload(Protocol::MaxMessageLength, 0xaa);
  EXPECT_EQ(Thrown([&] { responder_.state->ReadMessage(message, payload); }),
            "Noise message must be less than or equal to Protocol::MaxMessageLength bytes in "
            "length.");
  EXPECT_EQ(Thrown([&] {
              responder_.state->ReadMessage(std::span(message).first(overhead - 1), payload);
            }),
            "Noise message must be greater than or equal to {overhead} bytes in length.");
  Bytes short_payload(largest.size() - 1, 0xaa);
  EXPECT_EQ(Thrown([&] {
              responder_.state->ReadMessage(std::span(message).first(written.bytes), short_payload);
            }),
            "Payload buffer does not have enough space to hold the plaintext.");
  EXPECT_EQ(short_payload, Bytes(largest.size() - 1, 0xaa));
  auto read = responder_.state->ReadMessage(std::span(message).first(written.bytes), payload);
  EXPECT_EQ(read.bytes, largest.size());
}

TEST(HandshakeStateTest, StaticKeyChecksInOrder) {
  auto ix = Protocol::Parse("Noise_IX_25519_AESGCM_SHA256");
  auto nn = Protocol::Parse("Noise_NN_25519_AESGCM_SHA256");
  auto nk = Protocol::Parse("Noise_NK_25519_AESGCM_SHA256");
  auto kn = Protocol::Parse("Noise_KN_25519_AESGCM_SHA256");
  SecureBytes key(32, 1);
  Bytes remote(32, 2);
  EXPECT_EQ(Thrown([&] { ix->Create(true, {}, SecureBytes(31), {}, {}); }),
            "Invalid local static private key.");
  EXPECT_EQ(Thrown([&] { nk->Create(true, {}, {}, Bytes(33), {}); }),
            "Invalid remote static public key.");
  EXPECT_EQ(Thrown([&] { ix->Create(false, {}, {}, {}, {}); }),
            "Local static private key required, but not provided.");
  EXPECT_EQ(Thrown([&] { kn->Create(true, {}, {}, {}, {}); }),
            "Local static private key required, but not provided.");
  EXPECT_EQ(Thrown([&] { nn->Create(true, {}, key, remote, {}); }),
            "Local static private key provided, but not required.");
  EXPECT_EQ(Thrown([&] { nk->Create(true, {}, {}, {}, {}); }),
            "Remote static public key required, but not provided.");
  EXPECT_EQ(Thrown([&] { kn->Create(false, {}, {}, {}, {}); }),
            "Remote static public key required, but not provided.");
  EXPECT_EQ(Thrown([&] { nn->Create(true, {}, {}, remote, {}); }),
            "Remote static public key provided, but not required.");
  auto fallback = Protocol::Parse("Noise_XXfallback_25519_AESGCM_SHA256");
  EXPECT_EQ(Thrown([&] { fallback->Create(true, {}, key, {}, {}); }),
            "Fallback modifier can only be applied by calling the Fallback method.");
}

TEST(HandshakeStateTest, PreSharedKeyCounts) {
  auto two = Protocol::Parse("Noise_NNpsk0+psk2_25519_ChaChaPoly_SHA256");
  auto one = Protocol::Parse("Noise_NNpsk2_25519_ChaChaPoly_SHA256");
  const std::vector<SecureBytes> single = {Psk(1)};
  const std::vector<SecureBytes> pair = {Psk(1), Psk(2)};
  EXPECT_EQ(Thrown([&] { two->Create(true, {}, {}, {}, single); }),
            "Number of pre-shared keys was less than the number of PSK modifiers.");
  EXPECT_EQ(Thrown([&] { one->Create(true, {}, {}, {}, pair); }),
            "ProcessPreSharedKeys failed, number of pre-shared keys was greater than the number "
            "of PSK modifiers.");
  EXPECT_EQ(Thrown([&] { one->Create(true, {}, {}, {}, {}); }),
            "Number of pre-shared keys was less than the number of PSK modifiers.");
  const std::vector<SecureBytes> short_key = {SecureBytes(31)};
  EXPECT_EQ(Thrown([&] { one->Create(true, {}, {}, {}, short_key); }),
            "ProcessPreSharedKey failed, key size");
  auto none = Protocol::Parse("Noise_NN_25519_ChaChaPoly_SHA256");
  EXPECT_EQ(Thrown([&] { none->Create(true, {}, {}, {}, single); }),
            "ProcessPreSharedKeys failed, number of pre-shared keys was greater than the number "
            "of PSK modifiers.");
}

// psk0 is honoured wherever it stands among the modifiers, so "psk2+psk0" uses both keys.
TEST(HandshakeStateTest, Psk0InSecondPlaceIsUsed) {
  auto protocol = Protocol::Parse("Noise_NNpsk2+psk0_25519_ChaChaPoly_SHA256");
  const std::vector<SecureBytes> keys = {Psk(1), Psk(2)};
  const std::vector<SecureBytes> swapped = {Psk(2), Psk(1)};
  Party initiator, responder;
  initiator.state = protocol->Create(true, {}, {}, {}, keys);
  responder.state = protocol->Create(false, {}, {}, {}, keys);
  Deliver(initiator, responder);
  Deliver(responder, initiator);
  ASSERT_NE(initiator.transport, nullptr);
  EXPECT_EQ(initiator.hash, responder.hash);
  ExpectTransportsTalk(initiator, responder);

  // The key order matters: a peer with the keys the other way round cannot read message 1.
  initiator.state = protocol->Create(true, {}, {}, {}, keys);
  responder.state = protocol->Create(false, {}, {}, {}, swapped);
  Bytes message(200), payload(200);
  auto written = initiator.state->WriteMessage({}, message);
  EXPECT_EQ(Thrown([&] {
              responder.state->ReadMessage(std::span(message).first(written.bytes), payload);
            }),
            "Decryption failed.");
}

TEST(HandshakeStateTest, OneWayPatternGivesAOneWayTransport) {
  auto protocol = Protocol::Parse("Noise_N_25519_ChaChaPoly_BLAKE2s");
  Party initiator, responder;
  initiator.state = protocol->Create(true, {}, {}, responder.static_key->PublicKey(), {});
  responder.state = protocol->Create(false, {}, responder.static_key->PrivateKey(), {}, {});
  Deliver(initiator, responder, {9});
  ASSERT_NE(initiator.transport, nullptr);
  ASSERT_NE(responder.transport, nullptr);
  EXPECT_TRUE(initiator.transport->IsOneWay());
  EXPECT_EQ(initiator.hash, responder.hash);

  Bytes message(64), payload(64);
  std::size_t n = initiator.transport->WriteMessage(Bytes{1, 2}, message);
  EXPECT_EQ(responder.transport->ReadMessage(std::span(message).first(n), payload), 2u);
  EXPECT_EQ(Thrown([&] { responder.transport->WriteMessage(Bytes{1}, message); }),
            "Responder cannot write messages to a one-way stream.");
  EXPECT_EQ(Thrown([&] { initiator.transport->ReadMessage(std::span(message).first(n), payload); }),
            "Initiator cannot read messages from a one-way stream.");
  EXPECT_EQ(Thrown([&] { initiator.transport->RekeyResponderToInitiator(); }),
            "Cannot rekey responder to initiator in a one-way stream.");
  initiator.transport->RekeyInitiatorToResponder();
  responder.transport->RekeyInitiatorToResponder();
  n = initiator.transport->WriteMessage(Bytes{3}, message);
  EXPECT_EQ(responder.transport->ReadMessage(std::span(message).first(n), payload), 1u);
}

// Patterns built by hand reach the token checks that no table pattern can trip.
TEST(HandshakeStateTest, TokenChecksOnMalformedPatterns) {
  auto make = [](std::vector<MessagePattern> messages,
                 const PreMessagePattern& responder_pre = PreMessagePattern::Empty()) {
    return std::make_shared<Protocol>(
        std::make_shared<const HandshakePattern>(
            HandshakePattern{"NN", PreMessagePattern::Empty(), responder_pre, std::move(messages)}),
        &CipherFunction::ChaChaPoly(), &HashFunction::Sha256(), std::vector<PatternModifiers>{});
  };
  using T = PatternToken;
  Bytes message(512), payload(512);

  auto twice_e = make({{{T::E, T::E}}});
  EXPECT_EQ(Thrown([&] { twice_e->Create(true, {}, {}, {}, {})->WriteMessage({}, message); }),
            "WriteE failed, KeyPair is not emtpy");
  EXPECT_EQ(
      Thrown([&] { twice_e->Create(false, {}, {}, {}, {})->ReadMessage(Bytes(64), payload); }),
      "ReadE failed");

  auto early_ee = make({{{T::EE}}});
  EXPECT_EQ(Thrown([&] { early_ee->Create(true, {}, {}, {}, {})->WriteMessage({}, message); }),
            "DhAndMixKey failed, keyPair is null");
  auto lonely_ee = make({{{T::E, T::EE}}});
  EXPECT_EQ(Thrown([&] { lonely_ee->Create(true, {}, {}, {}, {})->WriteMessage({}, message); }),
            "DhAndMixKey failed, public key is empty");

  // The initiator knows the responder's static key and is then sent it again.
  auto resent_s = make({{{T::E}}, {{T::S}}}, PreMessagePattern::S());
  auto initiator = resent_s->Create(true, {}, {}, Bytes(32, 9), {});
  auto responder = resent_s->Create(false, {}, SecureBytes(32, 3), {}, {});
  auto first = initiator->WriteMessage({}, message);
  responder->ReadMessage(std::span(message).first(first.bytes), payload);
  auto second = responder->WriteMessage({}, message);
  EXPECT_EQ(
      Thrown([&] { initiator->ReadMessage(std::span(message).first(second.bytes), payload); }),
      "ReadS failed");

  auto four = make({{{T::E}}, {{T::E}}, {{T::EE}}, {{T::EE}}});
  EXPECT_EQ(Thrown([&] { four->Create(true, {}, {}, {}, {}); }),
            "Process preshared keys failed, too many patterns.");
}

// Noise Pipes: Alice tries IK with a stale copy of Bob's static key; Bob cannot decrypt it and
// both switch to XXfallback, reusing Alice's first ephemeral key.
class FallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto ik = Protocol::Parse("Noise_IK_25519_AESGCM_BLAKE2s");
    if (!Libsodium::Instance()->IsAesGcmAvailable()) {
      ik = Protocol::Parse("Noise_IK_25519_ChaChaPoly_BLAKE2s");
    }
    const auto ik_name = ik->GetName();
    fallback_ =
        Protocol::Parse(std::string(ik_name.begin(), ik_name.end()).replace(6, 2, "XXfallback"));
    stale_bob_ = Curve25519().GenerateKeyPair();
    alice_.state =
        ik->Create(true, {}, alice_.static_key->PrivateKey(), stale_bob_->PublicKey(), {});
    bob_.state = ik->Create(false, {}, bob_.static_key->PrivateKey(), {}, {});
  }

  // Alice's IK message, which Bob fails to decrypt.
  void FirstMessageFails() {
    Bytes message(512), payload(512);
    auto written = alice_.state->WriteMessage({}, message);
    EXPECT_EQ(
        Thrown([&] { bob_.state->ReadMessage(std::span(message).first(written.bytes), payload); }),
        "Decryption failed.");
  }

  FallbackConfig Config(const Party& party) {
    FallbackConfig config;
    config.local_static_private_key = party.static_key->PrivateKey();
    return config;
  }

  std::shared_ptr<Protocol> fallback_;
  std::shared_ptr<KeyPair> stale_bob_;
  Party alice_;
  Party bob_;
};

TEST_F(FallbackTest, BobStartsXXfallbackAndBothSidesComplete) {
  FirstMessageFails();
  auto bob_config = Config(bob_);
  auto alice_config = Config(alice_);
  bob_.state->Fallback(fallback_, &bob_config);
  alice_.state->Fallback(fallback_, &alice_config);
  Bytes message(512), payload(512);
  EXPECT_EQ(Thrown([&] { alice_.state->WriteMessage({}, message); }),
            "Unexpected call to WriteMessage (should be ReadMessage).");
  Deliver(bob_, alice_, {1});
  Deliver(alice_, bob_, {2});
  ASSERT_NE(alice_.transport, nullptr);
  ASSERT_NE(bob_.transport, nullptr);
  EXPECT_EQ(alice_.hash, bob_.hash);
  EXPECT_EQ(alice_.state->RemoteStaticPublicKey(),
            Bytes(bob_.static_key->PublicKey().begin(), bob_.static_key->PublicKey().end()));
  EXPECT_EQ(bob_.state->RemoteStaticPublicKey(),
            Bytes(alice_.static_key->PublicKey().begin(), alice_.static_key->PublicKey().end()));
  // Alice keeps the initiator role: her messages travel on c1.
  ExpectTransportsTalk(alice_, bob_);
}

TEST_F(FallbackTest, Checks) {
  auto config = Config(bob_);
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(nullptr, &config); }),
            "Fallback failed, protocol is null");
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(fallback_, nullptr); }),
            "Fallback failed, config is null");
  auto xx = Protocol::Parse("Noise_XX_25519_ChaChaPoly_BLAKE2s");
  auto xx_psk = Protocol::Parse("Noise_XXfallback+psk0_25519_ChaChaPoly_BLAKE2s");
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(xx, &config); }),
            "The only fallback pattern currently supported is XXfallback.");
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(xx_psk, &config); }),
            "The only fallback pattern currently supported is XXfallback.");
  FallbackConfig empty;
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(fallback_, &empty); }),
            "Local static private key is required for the XXfallback pattern.");
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(fallback_, &config); }),
            "Fallback can only be applied after the first handshake message.");
  FirstMessageFails();
  FallbackConfig bad_key;
  bad_key.local_static_private_key = SecureBytes(31, 1);
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(fallback_, &bad_key); }), "Fallback failed");
  // The failed switch left the state alone, so a good one still works.
  bob_.state->Fallback(fallback_, &config);
  EXPECT_EQ(Thrown([&] { bob_.state->Fallback(fallback_, &config); }),
            "Fallback cannot be applied to a Bob-initiated pattern.");
}

}  // namespace
}  // namespace varlo::noise
