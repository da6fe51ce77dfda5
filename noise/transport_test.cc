#include "noise/transport.h"

#include <gtest/gtest.h>

#include "noise/protocol.h"
#include "noise/test_util.h"

namespace varlo::noise {
namespace {

using testing::Bytes;
using testing::Thrown;
using State = CipherState<ChaCha20Poly1305>;

std::shared_ptr<State> Keyed(std::uint8_t fill, std::uint64_t nonce) {
  auto state = std::make_shared<State>();
  state->InitializeKey(Bytes(32, fill));
  state->SetNonce(nonce);
  return state;
}

// An initiator and a responder transport over equal keys.
struct Pair {
  explicit Pair(std::uint64_t nonce = 0)
      : initiator(true, Keyed(1, nonce), Keyed(2, nonce)),
        responder(false, Keyed(1, nonce), Keyed(2, nonce)) {}
  Transport<ChaCha20Poly1305> initiator;
  Transport<ChaCha20Poly1305> responder;
};

// Sends one byte; returns what arrived.
Bytes Send(TransportInterface& from, TransportInterface& to, std::uint8_t byte) {
  Bytes message(17), out(1);
  from.WriteMessage(Bytes{byte}, message);
  out.resize(to.ReadMessage(message, out));
  return out;
}

TEST(TransportTest, MessageLengthLimits) {
  Pair pair;
  const std::size_t largest = Protocol::MaxMessageLength - 16;
  const char too_long[] =
      "Noise message must be less than or equal to Protocol MaxMessageLength bytes in length.";
  Bytes message(Protocol::MaxMessageLength + 1, 0xaa);
  EXPECT_EQ(Thrown([&] { pair.initiator.WriteMessage(Bytes(largest + 1), message); }), too_long);
  Bytes small(20, 0xaa);
  EXPECT_EQ(Thrown([&] { pair.initiator.WriteMessage(Bytes(5), small); }),
            "Message buffer does not have enough space to hold the ciphertext.");
  EXPECT_EQ(small, Bytes(20, 0xaa));
  EXPECT_EQ(pair.initiator.WriteMessage(Bytes(largest, 7), message), Protocol::MaxMessageLength);

  Bytes payload(largest, 0xaa), short_payload(largest - 1, 0xaa);
  const auto sealed = std::span(message).first(Protocol::MaxMessageLength);
  EXPECT_EQ(Thrown([&] { pair.responder.ReadMessage(message, payload); }), too_long);
  EXPECT_EQ(Thrown([&] { pair.responder.ReadMessage(Bytes(15), payload); }),
            "Noise message must be greater than or equal to {Aead.TagSize} bytes in length.");
  EXPECT_EQ(Thrown([&] { pair.responder.ReadMessage(sealed, short_payload); }),
            "Payload buffer does not have enough space to hold the plaintext.");
  EXPECT_EQ(short_payload, Bytes(largest - 1, 0xaa));
  EXPECT_EQ(pair.responder.ReadMessage(sealed, payload), largest);
  EXPECT_EQ(payload, Bytes(largest, 7));
  // A bare tag is a valid empty message.
  EXPECT_EQ(pair.initiator.WriteMessage({}, message), 16u);
  EXPECT_EQ(pair.responder.ReadMessage(std::span(message).first(16), payload), 0u);
}

TEST(TransportTest, MissingKeysAndMissingCipherState) {
  Transport<ChaCha20Poly1305> initiator(true, std::make_shared<State>(), std::make_shared<State>());
  Transport<ChaCha20Poly1305> responder(false, std::make_shared<State>(),
                                        std::make_shared<State>());
  Bytes message(32), payload(32);
  EXPECT_EQ(Thrown([&] { initiator.WriteMessage(Bytes{1}, message); }),
            "WriteMessage failed, no key");
  EXPECT_EQ(Thrown([&] { responder.ReadMessage(message, payload); }),
            "WriteMessage failed, no key");
  EXPECT_EQ(Thrown([&] { initiator.RekeyInitiatorToResponder(); }), "Key is empty");
  EXPECT_EQ(Thrown([] { Transport<ChaCha20Poly1305>(true, nullptr, nullptr); }),
            "Transport failed, missing cipher state");
}

// Refused calls (a forged message, a buffer too small) leave the nonce where it was.
TEST(TransportTest, OnlySuccessAdvancesTheNonce) {
  Pair pair;
  Bytes first(17), second(17), payload(1), small(16);
  pair.initiator.WriteMessage(Bytes{1}, first);
  EXPECT_EQ(Thrown([&] { pair.initiator.WriteMessage(Bytes{2}, small); }),
            "Message buffer does not have enough space to hold the ciphertext.");
  pair.initiator.WriteMessage(Bytes{2}, second);
  Bytes forged = first;
  forged[3] ^= 0x40;
  EXPECT_EQ(Thrown([&] { pair.responder.ReadMessage(forged, payload); }), "Decryption failed.");
  EXPECT_EQ(pair.responder.ReadMessage(first, payload), 1u);
  EXPECT_EQ(pair.responder.ReadMessage(second, payload), 1u);
  EXPECT_EQ(payload, Bytes{2});
}

// The nonce 2^64 - 1 is never used: each direction stops one before it, on its own.
TEST(TransportTest, NonceExhaustionStopsEachDirection) {
  Pair pair(State::MaxNonce - 1);
  EXPECT_EQ(Send(pair.initiator, pair.responder, 1), Bytes{1});
  Bytes message(17, 0xaa), payload(1);
  EXPECT_EQ(Thrown([&] { pair.initiator.WriteMessage(Bytes{1}, message); }),
            "Nonce has reached its maximum vlaue.");
  EXPECT_EQ(message, Bytes(17, 0xaa));
  EXPECT_EQ(Thrown([&] { pair.responder.ReadMessage(message, payload); }),
            "Nonce has reached its maximum vlaue.");
  EXPECT_EQ(Send(pair.responder, pair.initiator, 2), Bytes{2});
}

// Each direction has its own key, and rekeying one leaves the other alone.
TEST(TransportTest, RekeyIsPerDirectionAndMustBeMatched) {
  Pair pair;
  pair.initiator.RekeyInitiatorToResponder();
  pair.responder.RekeyInitiatorToResponder();
  EXPECT_EQ(Send(pair.initiator, pair.responder, 1), Bytes{1});
  EXPECT_EQ(Send(pair.responder, pair.initiator, 2), Bytes{2});
  EXPECT_EQ(Thrown([&] { Send(pair.initiator, pair.initiator, 3); }), "Decryption failed.");
  pair.responder.RekeyResponderToInitiator();
  EXPECT_EQ(Thrown([&] { Send(pair.responder, pair.initiator, 3); }), "Decryption failed.");
}

}  // namespace
}  // namespace varlo::noise
