#include "noise/curve25519.h"

#include <sodium.h>

namespace varlo::noise {

Curve25519::Curve25519() : sodium_(Libsodium::Instance()) {}

std::shared_ptr<KeyPair> Curve25519::GenerateKeyPair(std::span<const std::uint8_t> private_key) {
  if (private_key.size() != kDhLen) {
    throw "Curve25519 Generate KeyPair failed, private Key size";
  }
  SecureBytes public_key(kDhLen);
  crypto_scalarmult_base(public_key.data(), private_key.data());
  return std::make_shared<KeyPair>(ToSecure(private_key), std::move(public_key));
}

std::shared_ptr<KeyPair> Curve25519::GenerateKeyPair() {
  SecureBytes private_key(kDhLen);
  randombytes_buf(private_key.data(), private_key.size());
  return GenerateKeyPair(private_key);
}

void Curve25519::DH(const std::shared_ptr<const KeyPair>& key_pair,
                    std::span<const std::uint8_t> public_key, std::span<std::uint8_t> shared) {
  if (key_pair == nullptr || key_pair->PrivateKey().size() != kDhLen) {
    throw "Dh failed, private Key is null or private Key size error";
  }
  if (public_key.size() != kDhLen) {
    throw "Dh failed, public Key size";
  }
  if (shared.size() != kDhLen) {
    throw "Dh failed, shared Key size";
  }
  // A low-order public key gives the all-zero secret, which Noise accepts. libsodium reports it
  // with -1, and its portable implementation (the one without AVX: older CPUs, the Windows
  // build) then leaves `shared` unwritten, so the zeros are written here on every path.
  if (crypto_scalarmult(shared.data(), key_pair->PrivateKey().data(), public_key.data()) != 0)
    sodium_memzero(shared.data(), shared.size());
}

}  // namespace varlo::noise
