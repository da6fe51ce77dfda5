// A Curve25519 key pair: the private key and the public key derived from it.
//
// Key pairs are shared (std::shared_ptr) between a handshake state and whoever made the key;
// both keys live in SecureBytes, so they are wiped when the last reference goes.
#ifndef VARLO_NOISE_KEY_PAIR_H_
#define VARLO_NOISE_KEY_PAIR_H_

#include "common/secure_bytes.h"

namespace varlo::noise {

class KeyPair {
 public:
  static constexpr std::size_t kKeySize = 32;

  // Both keys must be exactly 32 bytes; throws a C string otherwise.
  KeyPair(SecureBytes private_key, SecureBytes public_key);

  const SecureBytes& PrivateKey() const { return private_key_; }
  const SecureBytes& PublicKey() const { return public_key_; }

 private:
  SecureBytes private_key_;
  SecureBytes public_key_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_KEY_PAIR_H_
