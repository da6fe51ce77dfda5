// SymmetricState of the Noise specification: the chaining key ck, the handshake hash h and the
// CipherState of the handshake, with MixKey, MixHash, MixKeyAndHash, EncryptAndHash,
// DecryptAndHash and Split. Owned by one handshake state; failures throw a C string.
#ifndef VARLO_NOISE_SYMMETRIC_STATE_H_
#define VARLO_NOISE_SYMMETRIC_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "common/secure_bytes.h"
#include "noise/cipher_state.h"
#include "noise/curve25519.h"
#include "noise/hkdf.h"

namespace varlo::noise {

template <typename CipherType, typename DhType, typename HashType>
class SymmetricState {
 public:
  static constexpr std::size_t HashLen = HashType::kHashLen;

  // InitializeSymmetric(protocol_name).
  explicit SymmetricState(std::span<const std::uint8_t> protocol_name);

  void MixKey(std::span<const std::uint8_t> input_key_material);
  void MixHash(std::span<const std::uint8_t> data);
  void MixKeyAndHash(std::span<const std::uint8_t> input_key_material);
  bool HasKey() const { return cipher_state_.HasKey(); }

  // Encrypts with ad = h into ciphertext[0...], then mixes the ciphertext into h.
  std::size_t EncryptAndHash(std::span<const std::uint8_t> plaintext,
                             std::span<std::uint8_t> ciphertext);
  // Decrypts `ciphertext` (with ad = h) into plaintext[0...], then mixes it into h.
  std::size_t DecryptAndHash(std::span<const std::uint8_t> ciphertext,
                             std::span<std::uint8_t> plaintext);

  // The two transport cipher states: initiator to responder, responder to initiator.
  std::pair<std::shared_ptr<CipherState<CipherType>>, std::shared_ptr<CipherState<CipherType>>>
  Split();

  std::span<const std::uint8_t> GetHandshakeHash() const { return h_; }

 private:
  Hkdf<HashType> hkdf_;
  HashType hash_;
  CipherState<CipherType> cipher_state_;
  SecureBytes ck_;
  SecureBytes h_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_SYMMETRIC_STATE_H_
