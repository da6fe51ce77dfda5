// The transport phase of a Noise session: what a completed handshake hands out.
//
// Messages carry no header: each is the AEAD ciphertext with its 16-byte tag, the nonce is
// implicit and each direction counts from 0. c1 carries initiator-to-responder messages, c2 the
// other direction; one-way patterns have no c2. One thread at a time (the holder serialises
// calls); failures throw a C string and write nothing to the caller's buffers, except that a
// failed authentication may leave the payload buffer partly written.
#ifndef VARLO_NOISE_TRANSPORT_H_
#define VARLO_NOISE_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "noise/cipher_state.h"

namespace varlo::noise {

class TransportInterface {
 public:
  virtual ~TransportInterface() = default;

  virtual bool IsOneWay() const = 0;
  // Encrypts `payload` into message[0...]; returns the message length (payload + 16).
  virtual std::size_t WriteMessage(std::span<const std::uint8_t> payload,
                                   std::span<std::uint8_t> message) = 0;
  // Decrypts `message` into payload[0...]; returns the payload length (message - 16).
  virtual std::size_t ReadMessage(std::span<const std::uint8_t> message,
                                  std::span<std::uint8_t> payload) = 0;
  virtual void RekeyInitiatorToResponder() = 0;
  virtual void RekeyResponderToInitiator() = 0;
};

template <typename CipherType>
class Transport final : public TransportInterface {
 public:
  // c2 is null for a one-way pattern.
  Transport(bool initiator, std::shared_ptr<CipherState<CipherType>> c1,
            std::shared_ptr<CipherState<CipherType>> c2);

  bool IsOneWay() const override { return c2_ == nullptr; }
  std::size_t WriteMessage(std::span<const std::uint8_t> payload,
                           std::span<std::uint8_t> message) override;
  std::size_t ReadMessage(std::span<const std::uint8_t> message,
                          std::span<std::uint8_t> payload) override;
  void RekeyInitiatorToResponder() override;
  void RekeyResponderToInitiator() override;

 private:
  bool initiator_;
  std::shared_ptr<CipherState<CipherType>> c1_;
  std::shared_ptr<CipherState<CipherType>> c2_;
};

extern template class Transport<Aes256Gcm>;
extern template class Transport<ChaCha20Poly1305>;

}  // namespace varlo::noise

#endif  // VARLO_NOISE_TRANSPORT_H_
