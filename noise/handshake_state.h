// HandshakeState of the Noise specification: runs one handshake of a `Protocol`, message by
// message, and hands out the `Transport` and the handshake hash when it completes.
//
// Create one with Protocol::Create. Calls alternate between WriteMessage and ReadMessage as the
// pattern dictates; the call that completes the handshake returns the handshake hash and the
// transport, every earlier call returns an empty hash and no transport, and every later call
// fails. A failed call leaves the state as far as it got: abandon the handshake. One thread at a
// time. Failures throw a C string with the message text.
#ifndef VARLO_NOISE_HANDSHAKE_STATE_H_
#define VARLO_NOISE_HANDSHAKE_STATE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "common/secure_bytes.h"
#include "noise/aes256_gcm.h"
#include "noise/blake2b.h"
#include "noise/blake2s.h"
#include "noise/chacha20_poly1305.h"
#include "noise/curve25519.h"
#include "noise/dh.h"
#include "noise/key_pair.h"
#include "noise/protocol.h"
#include "noise/sha256.h"
#include "noise/sha512.h"
#include "noise/symmetric_state.h"
#include "noise/transport.h"

namespace varlo::noise {

// What one WriteMessage or ReadMessage produced.
struct HandshakeResult {
  // Bytes written to the message buffer (WriteMessage) or payload buffer (ReadMessage).
  std::size_t bytes = 0;
  // Set only by the call that completes the handshake.
  std::vector<std::uint8_t> handshake_hash;
  std::shared_ptr<TransportInterface> transport;
};

// What a party brings to an XXfallback handshake (see HandshakeStateInterface::Fallback).
struct FallbackConfig {
  // Required: the XXfallback pattern makes both sides send their static key.
  SecureBytes local_static_private_key;
  // Prologue of the fallback handshake.
  std::vector<std::uint8_t> prologue;
  // Pre-shared keys, when the fallback protocol has psk modifiers.
  std::vector<SecureBytes> psks;
};

class HandshakeStateInterface {
 public:
  virtual ~HandshakeStateInterface() = default;

  // Copy of the remote static public key; empty until known.
  virtual std::vector<std::uint8_t> RemoteStaticPublicKey() const = 0;

  // Turns a handshake whose first message has been processed (on the responder, even when
  // reading it failed after its ephemeral key) into the XXfallback handshake of the Noise
  // specification under `protocol` (which must be "XXfallback"): the initiator's ephemeral key
  // from that message becomes the pre-message and the responder sends next. The DH tokens keep
  // their meaning (the initiator is still the party whose ephemeral key opened the exchange);
  // the transport's c1 carries the messages of the side that sent the first XXfallback message.
  virtual void Fallback(const std::shared_ptr<const Protocol>& protocol,
                        const FallbackConfig* config) = 0;

  // Writes the next handshake message, carrying `payload`, into message[0...].
  virtual HandshakeResult WriteMessage(std::span<const std::uint8_t> payload,
                                       std::span<std::uint8_t> message) = 0;
  // Reads the next handshake message; its payload goes to payload[0...].
  virtual HandshakeResult ReadMessage(std::span<const std::uint8_t> message,
                                      std::span<std::uint8_t> payload) = 0;

  // Replaces the object that generates ephemeral key pairs and computes DH.
  virtual void SetDh(std::shared_ptr<Dh> dh) = 0;
};

template <typename CipherType, typename DhType, typename HashType>
class HandshakeState final : public HandshakeStateInterface {
 public:
  HandshakeState(std::shared_ptr<const Protocol> protocol, bool initiator,
                 std::span<const std::uint8_t> prologue, std::span<const std::uint8_t> s,
                 std::span<const std::uint8_t> rs, std::span<const SecureBytes> psks);

  std::vector<std::uint8_t> RemoteStaticPublicKey() const override;
  void Fallback(const std::shared_ptr<const Protocol>& protocol,
                const FallbackConfig* config) override;
  HandshakeResult WriteMessage(std::span<const std::uint8_t> payload,
                               std::span<std::uint8_t> message) override;
  HandshakeResult ReadMessage(std::span<const std::uint8_t> message,
                              std::span<std::uint8_t> payload) override;
  void SetDh(std::shared_ptr<Dh> dh) override;

 private:
  using Symmetric = SymmetricState<CipherType, DhType, HashType>;
  struct Pending {
    std::vector<PatternToken> tokens;
  };

  // Queues the message patterns with the psk tokens the modifiers call for, and the keys in the
  // order those tokens use them.
  void QueueMessagesAndKeys(const std::vector<MessagePattern>& messages,
                            std::span<const SecureBytes> psks);
  std::size_t Overhead(const std::vector<PatternToken>& tokens) const;
  // Removes the next message pattern from the queue and counts it as started.
  Pending TakeNextMessage();
  void DhAndMixKey(const std::shared_ptr<KeyPair>& key_pair,
                   std::span<const std::uint8_t> public_key);
  void MixDh(PatternToken token);
  HandshakeResult Finish(std::size_t bytes);

  std::shared_ptr<Dh> dh_;
  std::unique_ptr<Symmetric> symmetric_;
  std::shared_ptr<const Protocol> protocol_;
  bool initiator_;
  bool initiator_sends_first_ = true;
  bool turn_to_write_;
  std::shared_ptr<KeyPair> e_;
  std::shared_ptr<KeyPair> s_;
  std::vector<std::uint8_t> re_;
  std::vector<std::uint8_t> rs_;
  bool psk_ = false;
  bool one_way_ = false;
  bool completed_ = false;
  std::size_t messages_started_ = 0;
  std::deque<Pending> messages_;
  std::deque<SecureBytes> psks_;
};

#define VARLO_NOISE_HANDSHAKE_STATES(X)    \
  X(Aes256Gcm, Curve25519, Sha256)         \
  X(Aes256Gcm, Curve25519, Sha512)         \
  X(Aes256Gcm, Curve25519, Blake2s)        \
  X(Aes256Gcm, Curve25519, Blake2b)        \
  X(ChaCha20Poly1305, Curve25519, Sha256)  \
  X(ChaCha20Poly1305, Curve25519, Sha512)  \
  X(ChaCha20Poly1305, Curve25519, Blake2s) \
  X(ChaCha20Poly1305, Curve25519, Blake2b)

#define VARLO_NOISE_EXTERN_HANDSHAKE_STATE(C, D, H) extern template class HandshakeState<C, D, H>;
VARLO_NOISE_HANDSHAKE_STATES(VARLO_NOISE_EXTERN_HANDSHAKE_STATE)
#undef VARLO_NOISE_EXTERN_HANDSHAKE_STATE

}  // namespace varlo::noise

#endif  // VARLO_NOISE_HANDSHAKE_STATE_H_
