#include "noise/transport.h"

#include <utility>

#include "noise/protocol.h"

namespace varlo::noise {

template <typename CipherType>
Transport<CipherType>::Transport(bool initiator, std::shared_ptr<CipherState<CipherType>> c1,
                                 std::shared_ptr<CipherState<CipherType>> c2)
    : initiator_(initiator), c1_(std::move(c1)), c2_(std::move(c2)) {
  if (c1_ == nullptr) {
    throw "Transport failed, missing cipher state";
  }
}

template <typename CipherType>
std::size_t Transport<CipherType>::WriteMessage(std::span<const std::uint8_t> payload,
                                                std::span<std::uint8_t> message) {
  if (!initiator_ && IsOneWay()) {
    throw "Responder cannot write messages to a one-way stream.";
  }
  if (payload.size() + Cipher::kTagSize > Protocol::MaxMessageLength) {
    throw "Noise message must be less than or equal to Protocol MaxMessageLength bytes in length.";
  }
  if (payload.size() + Cipher::kTagSize > message.size()) {
    throw "Message buffer does not have enough space to hold the ciphertext.";
  }
  CipherState<CipherType>& cipher = initiator_ ? *c1_ : *c2_;
  if (!cipher.HasKey()) {
    throw "WriteMessage failed, no key";
  }
  return cipher.EncryptWithAd({}, payload, message, 0);
}

template <typename CipherType>
std::size_t Transport<CipherType>::ReadMessage(std::span<const std::uint8_t> message,
                                               std::span<std::uint8_t> payload) {
  if (initiator_ && IsOneWay()) {
    throw "Initiator cannot read messages from a one-way stream.";
  }
  if (message.size() > Protocol::MaxMessageLength) {
    throw "Noise message must be less than or equal to Protocol MaxMessageLength bytes in length.";
  }
  if (message.size() < Cipher::kTagSize) {
    throw "Noise message must be greater than or equal to {Aead.TagSize} bytes in length.";
  }
  if (message.size() - Cipher::kTagSize > payload.size()) {
    throw "Payload buffer does not have enough space to hold the plaintext.";
  }
  CipherState<CipherType>& cipher = initiator_ ? *c2_ : *c1_;
  if (!cipher.HasKey()) {
    throw "WriteMessage failed, no key";
  }
  return cipher.DecryptWithAd({}, message, payload, 0);
}

template <typename CipherType>
void Transport<CipherType>::RekeyInitiatorToResponder() {
  c1_->Rekey();
}

template <typename CipherType>
void Transport<CipherType>::RekeyResponderToInitiator() {
  if (IsOneWay()) {
    throw "Cannot rekey responder to initiator in a one-way stream.";
  }
  c2_->Rekey();
}

template class Transport<Aes256Gcm>;
template class Transport<ChaCha20Poly1305>;

}  // namespace varlo::noise
