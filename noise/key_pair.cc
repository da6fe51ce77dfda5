#include "noise/key_pair.h"

#include <utility>

namespace varlo::noise {

KeyPair::KeyPair(SecureBytes private_key, SecureBytes public_key) {
  if (private_key.empty()) {
    throw "KeyPair failed, private Key is empty";
  }
  if (public_key.empty()) {
    throw "KeyPair failed, pulbic Key is empty";
  }
  if (private_key.size() != kKeySize) {
    throw "Private key must have length of 32 bytes.";
  }
  if (public_key.size() != kKeySize) {
    throw "Public key must have length of 32 bytes.";
  }
  private_key_ = std::move(private_key);
  public_key_ = std::move(public_key);
}

}  // namespace varlo::noise
