#include "noise/handshake_state.h"

#include <gtest/gtest.h>

#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Thrown;

SecureBytes Psk(std::uint8_t fill) {
  return SecureBytes(32, fill);
}

Bytes PublicOf(const std::shared_ptr<KeyPair>& pair) {
  return Bytes(pair->PublicKey().begin(), pair->PublicKey().end());
}

struct Party {
  std::shared_ptr<KeyPair> static_key = Curve25519().GenerateKeyPair();
  std::shared_ptr<HandshakeStateInterface> state;
  std::shared_ptr<TransportInterface> transport;
  Bytes hash;
};

// Delivers one handshake message from `from` to `to`; returns the message length.
std::size_t Deliver(Party& from, Party& to, const Bytes& payload = {}) {
  Bytes message(Protocol::MaxMessageLength), received(Protocol::MaxMessageLength);
  auto written = from.state->WriteMessage(payload, message);
  EXPECT_EQ(written.transport == nullptr, written.handshake_hash.empty());
  from.transport = written.transport;
  from.hash = written.handshake_hash;
  auto read = to.state->ReadMessage(std::span(message).first(written.bytes), received);
  EXPECT_EQ(Bytes(received.begin(), received.begin() + read.bytes), payload);
  to.transport = read.transport;
  to.hash = read.handshake_hash;
  return written.bytes;
}

// Both parties completed with the same hash, and each direction carries a message.
void ExpectCompleted(Party& initiator, Party& responder) {
  ASSERT_NE(initiator.transport, nullptr);
  ASSERT_NE(responder.transport, nullptr);
  EXPECT_EQ(initiator.hash, responder.hash);
  Bytes message(32), payload(32);
  for (auto [from, to] : {std::pair{&initiator, &responder}, std::pair{&responder, &initiator}}) {
    std::size_t n = from->transport->WriteMessage(Bytes{1, 2, 3, 4}, message);
    EXPECT_EQ(to->transport->ReadMessage(std::span(message).first(n), payload), 4u);
  }
}

class IXpsk2Test : public ::testing::Test {
 protected:
  void Create(const SecureBytes& initiator_psk, const SecureBytes& responder_psk) {
    auto protocol = Protocol::Parse("Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b");
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
  // e (32), s encrypted under the key the psk flag derives from e (48), payload + tag.
  EXPECT_EQ(Deliver(initiator_, responder_, {1, 2, 3}), 32u + 48u + 3u + 16u);
  EXPECT_EQ(initiator_.transport, nullptr);
  EXPECT_EQ(responder_.state->RemoteStaticPublicKey(), PublicOf(initiator_.static_key));
  EXPECT_EQ(Deliver(responder_, initiator_), 32u + 48u + 16u);
  EXPECT_EQ(initiator_.state->RemoteStaticPublicKey(), PublicOf(responder_.static_key));
  EXPECT_EQ(initiator_.hash.size(), 64u);
  EXPECT_FALSE(initiator_.transport->IsOneWay());
  ExpectCompleted(initiator_, responder_);
}

// The psk is mixed in at the end of the second message, so only that message fails.
TEST_F(IXpsk2Test, DifferentPreSharedKeysFailOnTheSecondMessage) {
  Create(Psk(7), Psk(8));
  Deliver(initiator_, responder_);
  EXPECT_EQ(Thrown([&] { Deliver(responder_, initiator_); }), "Decryption failed.");
}

TEST_F(IXpsk2Test, TurnOrderAndCompletedHandshake) {
  Create(Psk(7), Psk(7));
  Bytes message(Protocol::MaxMessageLength), payload(Protocol::MaxMessageLength);
  const char read_first[] = "Unexpected call to ReadMessage (should be WriteMessage).";
  const char write_first[] = "Unexpected call to WriteMessage (should be ReadMessage).";
  EXPECT_EQ(Thrown([&] { initiator_.state->ReadMessage(Bytes(200), payload); }), read_first);
  EXPECT_EQ(Thrown([&] { responder_.state->WriteMessage({}, message); }), write_first);
  Deliver(initiator_, responder_);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage({}, message); }), write_first);
  Deliver(responder_, initiator_);
  const char completed[] =
      "Cannot call WriteMessage after the handshake has already been completed.";
  for (auto* party : {&initiator_, &responder_}) {
    EXPECT_EQ(Thrown([&] { party->state->WriteMessage({}, message); }), completed);
    EXPECT_EQ(Thrown([&] { party->state->ReadMessage(Bytes(200), payload); }), completed);
  }
}

TEST_F(IXpsk2Test, MessageLengthLimits) {
  Create(Psk(7), Psk(7));
  const std::size_t overhead = 32 + 48 + 16;
  const char too_long[] =
      "Noise message must be less than or equal to Protocol::MaxMessageLength bytes in length.";
  Bytes message(Protocol::MaxMessageLength + 10, 0xaa), small(100, 0xaa);
  Bytes largest(Protocol::MaxMessageLength - overhead, 0x55);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage(Bytes(largest.size() + 1), message); }),
            too_long);
  EXPECT_EQ(Thrown([&] { initiator_.state->WriteMessage(Bytes(5), small); }),
            "Message buffer does not have enough space to hold the ciphertext.");
  EXPECT_EQ(small, Bytes(100, 0xaa));
  EXPECT_EQ(initiator_.state->WriteMessage(largest, message).bytes, Protocol::MaxMessageLength);

  const auto sealed = std::span(message).first(Protocol::MaxMessageLength);
  Bytes payload(Protocol::MaxMessageLength, 0xaa), short_payload(largest.size() - 1, 0xaa);
  EXPECT_EQ(Thrown([&] { responder_.state->ReadMessage(message, payload); }), too_long);
  EXPECT_EQ(Thrown([&] { responder_.state->ReadMessage(sealed.first(overhead - 1), payload); }),
            "Noise message must be greater than or equal to {overhead} bytes in length.");
  EXPECT_EQ(Thrown([&] { responder_.state->ReadMessage(sealed, short_payload); }),
            "Payload buffer does not have enough space to hold the plaintext.");
  EXPECT_EQ(short_payload, Bytes(largest.size() - 1, 0xaa));
  EXPECT_EQ(responder_.state->ReadMessage(sealed, payload).bytes, largest.size());
}

TEST(HandshakeStateTest, ConstructionChecksInOrder) {
  const char kLess[] = "Number of pre-shared keys was less than the number of PSK modifiers.";
  const char kGreater[] =
      "ProcessPreSharedKeys failed, number of pre-shared keys was greater than the number of PSK "
      "modifiers.";
  const char kFallback[] = "Fallback modifier can only be applied by calling the Fallback method.";
  const SecureBytes key(32, 1);
  const Bytes remote(32, 2);
  struct Case {
    const char* pattern;
    bool initiator;
    SecureBytes s;
    Bytes rs;
    std::vector<SecureBytes> psks;
    const char* error;
  };
  const Case cases[] = {
      {"IX", true, SecureBytes(31), {}, {}, "Invalid local static private key."},
      {"NK", true, {}, Bytes(33), {}, "Invalid remote static public key."},
      {"IX", false, {}, {}, {}, "Local static private key required, but not provided."},
      {"KN", true, {}, {}, {}, "Local static private key required, but not provided."},
      {"NN", true, key, remote, {}, "Local static private key provided, but not required."},
      {"NK", true, {}, {}, {}, "Remote static public key required, but not provided."},
      {"KN", false, {}, {}, {}, "Remote static public key required, but not provided."},
      {"NN", true, {}, remote, {}, "Remote static public key provided, but not required."},
      {"XXfallback", true, key, {}, {}, kFallback},
      {"NNpsk0+psk2", true, {}, {}, {Psk(1)}, kLess},
      {"NNpsk2", true, {}, {}, {}, kLess},
      {"NNpsk2", true, {}, {}, {Psk(1), Psk(2)}, kGreater},
      {"NN", true, {}, {}, {Psk(1)}, kGreater},
      {"NNpsk2", true, {}, {}, {SecureBytes(31)}, "ProcessPreSharedKey failed, key size"},
  };
  for (const Case& c : cases) {
    auto protocol = Protocol::Parse(std::string("Noise_") + c.pattern + "_25519_AESGCM_SHA256");
    EXPECT_EQ(Thrown([&] { protocol->Create(c.initiator, {}, c.s, c.rs, c.psks); }), c.error)
        << c.pattern;
  }
  auto state = Protocol::Parse("Noise_NN_25519_AESGCM_SHA256")->Create(true, {}, {}, {}, {});
  EXPECT_EQ(Thrown([&] { state->SetDh(nullptr); }), "SetDh failed, invalid DH object");
}

// psk0 is honoured wherever it stands among the modifiers; its key is used first.
TEST(HandshakeStateTest, Psk0InSecondPlaceIsUsed) {
  auto protocol = Protocol::Parse("Noise_NNpsk2+psk0_25519_ChaChaPoly_SHA256");
  const std::vector<SecureBytes> keys = {Psk(1), Psk(2)};
  Party initiator, responder;
  initiator.state = protocol->Create(true, {}, {}, {}, keys);
  responder.state = protocol->Create(false, {}, {}, {}, keys);
  Deliver(initiator, responder);
  Deliver(responder, initiator);
  ExpectCompleted(initiator, responder);

  responder.state = protocol->Create(false, {}, {}, {}, std::vector{Psk(2), Psk(1)});
  initiator.state = protocol->Create(true, {}, {}, {}, keys);
  EXPECT_EQ(Thrown([&] { Deliver(initiator, responder); }), "Decryption failed.");
}

TEST(HandshakeStateTest, OneWayPatternGivesAOneWayTransport) {
  auto protocol = Protocol::Parse("Noise_N_25519_ChaChaPoly_BLAKE2s");
  Party initiator, responder;
  initiator.state = protocol->Create(true, {}, {}, responder.static_key->PublicKey(), {});
  responder.state = protocol->Create(false, {}, responder.static_key->PrivateKey(), {}, {});
  Deliver(initiator, responder, {9});
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
  // A completed handshake cannot fall back.
  FallbackConfig config{SecureBytes(32, 5), {}, {}};
  auto xxfallback = Protocol::Parse("Noise_XXfallback_25519_ChaChaPoly_BLAKE2s");
  EXPECT_EQ(Thrown([&] { initiator.state->Fallback(xxfallback, &config); }), "Fallback failed");
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
  auto write = [](const std::shared_ptr<Protocol>& protocol) {
    Bytes message(512);
    return Thrown([&] { protocol->Create(true, {}, {}, {}, {})->WriteMessage({}, message); });
  };
  using T = PatternToken;
  EXPECT_EQ(write(make({{{T::E, T::E}}})), "WriteE failed, KeyPair is not emtpy");
  EXPECT_EQ(write(make({{{T::EE}}})), "DhAndMixKey failed, keyPair is null");
  EXPECT_EQ(write(make({{{T::E, T::EE}}})), "DhAndMixKey failed, public key is empty");
  Bytes payload(512);
  EXPECT_EQ(
      Thrown([&] {
        make({{{T::E, T::E}}})->Create(false, {}, {}, {}, {})->ReadMessage(Bytes(64), payload);
      }),
      "ReadE failed");
  EXPECT_EQ(Thrown([&] {
              make({{{T::E}}, {{T::E}}, {{T::EE}}, {{T::EE}}})->Create(true, {}, {}, {}, {});
            }),
            "Process preshared keys failed, too many patterns.");

  // The initiator knows the responder's static key and is then sent it again.
  auto resent_s = make({{{T::E}}, {{T::S}}}, PreMessagePattern::S());
  Party initiator, responder;
  initiator.state = resent_s->Create(true, {}, {}, PublicOf(responder.static_key), {});
  responder.state = resent_s->Create(false, {}, responder.static_key->PrivateKey(), {}, {});
  Deliver(initiator, responder);
  EXPECT_EQ(Thrown([&] { Deliver(responder, initiator); }), "ReadS failed");
}

// Noise Pipes: Alice tries IK with a stale copy of Bob's static key; Bob cannot decrypt it and
// both switch to XXfallback, reusing Alice's first ephemeral key.
class FallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const bool aes = Libsodium::Instance()->IsAesGcmAvailable();
    const std::string functions = aes ? "_25519_AESGCM_BLAKE2s" : "_25519_ChaChaPoly_BLAKE2s";
    auto ik = Protocol::Parse("Noise_IK" + functions);
    fallback_ = Protocol::Parse("Noise_XXfallback" + functions);
    alice_.state = ik->Create(true, {}, alice_.static_key->PrivateKey(),
                              Curve25519().GenerateKeyPair()->PublicKey(), {});
    bob_.state = ik->Create(false, {}, bob_.static_key->PrivateKey(), {}, {});
  }

  void FirstMessageFails() {
    EXPECT_EQ(Thrown([&] { Deliver(alice_, bob_); }), "Decryption failed.");
  }

  std::shared_ptr<Protocol> fallback_;
  Party alice_;
  Party bob_;
};

TEST_F(FallbackTest, BobStartsXXfallbackAndBothSidesComplete) {
  FirstMessageFails();
  FallbackConfig bob_config{bob_.static_key->PrivateKey(), {}, {}};
  FallbackConfig alice_config{alice_.static_key->PrivateKey(), {}, {}};
  bob_.state->Fallback(fallback_, &bob_config);
  alice_.state->Fallback(fallback_, &alice_config);
  Bytes message(512), payload(512);
  EXPECT_EQ(Thrown([&] { alice_.state->WriteMessage({}, message); }),
            "Unexpected call to WriteMessage (should be ReadMessage).");
  Deliver(bob_, alice_, {1});
  Deliver(alice_, bob_, {2});
  EXPECT_EQ(alice_.state->RemoteStaticPublicKey(), PublicOf(bob_.static_key));
  EXPECT_EQ(bob_.state->RemoteStaticPublicKey(), PublicOf(alice_.static_key));
  ExpectCompleted(alice_, bob_);
  // Bob sent the first XXfallback message, so his messages travel on c1: rekeying only his c1
  // breaks his direction and leaves Alice's alone.
  bob_.transport->RekeyInitiatorToResponder();
  std::size_t n = alice_.transport->WriteMessage(Bytes{1}, message);
  EXPECT_EQ(bob_.transport->ReadMessage(std::span(message).first(n), payload), 1u);
  n = bob_.transport->WriteMessage(Bytes{2}, message);
  EXPECT_EQ(Thrown([&] { alice_.transport->ReadMessage(std::span(message).first(n), payload); }),
            "Decryption failed.");
}

TEST_F(FallbackTest, Checks) {
  FallbackConfig config{bob_.static_key->PrivateKey(), {}, {}};
  FallbackConfig empty, bad_key{SecureBytes(31, 1), {}, {}};
  auto fallback = [&](std::shared_ptr<Protocol> protocol, FallbackConfig* with) {
    return Thrown([&] { bob_.state->Fallback(protocol, with); });
  };
  EXPECT_EQ(fallback(nullptr, &config), "Fallback failed, protocol is null");
  EXPECT_EQ(fallback(fallback_, nullptr), "Fallback failed, config is null");
  for (const char* name :
       {"Noise_XX_25519_ChaChaPoly_BLAKE2s", "Noise_XXfallback+psk0_25519_ChaChaPoly_BLAKE2s"}) {
    EXPECT_EQ(fallback(Protocol::Parse(name), &config),
              "The only fallback pattern currently supported is XXfallback.");
  }
  EXPECT_EQ(fallback(fallback_, &empty),
            "Local static private key is required for the XXfallback pattern.");
  EXPECT_EQ(fallback(fallback_, &config),
            "Fallback can only be applied after the first handshake message.");
  FirstMessageFails();
  EXPECT_EQ(fallback(fallback_, &bad_key), "Fallback failed");
  // The state's own functions cannot change under it.
  EXPECT_EQ(fallback(Protocol::Parse("Noise_XXfallback_25519_ChaChaPoly_SHA512"), &config),
            "Fallback failed");
  // The failed switches left the state alone, so a good one still works.
  EXPECT_EQ(fallback(fallback_, &config), "<nothing thrown>");
  EXPECT_EQ(fallback(fallback_, &config), "Fallback cannot be applied to a Bob-initiated pattern.");
}

}  // namespace
}  // namespace varlo::noise
