// The Diffie-Hellman function of a Noise protocol, as an interface.
//
// A handshake state generates its ephemeral keys and computes every DH through one `Dh`
// object, which the caller may replace (HandshakeStateInterface::SetDh): tests use that to
// fix the ephemeral keys. Implementations hold no key material between calls.
#ifndef VARLO_NOISE_DH_H_
#define VARLO_NOISE_DH_H_

#include <cstdint>
#include <memory>
#include <span>

#include "noise/key_pair.h"

namespace varlo::noise {

class Dh {
 public:
  virtual ~Dh() = default;

  // Length of private keys, public keys and shared secrets.
  virtual std::uint32_t DhLen() const = 0;

  // Key pair for the given private key (exactly DhLen bytes).
  virtual std::shared_ptr<KeyPair> GenerateKeyPair(std::span<const std::uint8_t> private_key) = 0;

  // Key pair with a fresh random private key.
  virtual std::shared_ptr<KeyPair> GenerateKeyPair() = 0;

  // shared = DH(key_pair's private key, public_key). `shared` must be exactly DhLen bytes.
  virtual void DH(const std::shared_ptr<const KeyPair>& key_pair,
                  std::span<const std::uint8_t> public_key, std::span<std::uint8_t> shared) = 0;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_DH_H_
