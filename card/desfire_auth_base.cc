#include "card/desfire_auth_base.h"

#include <cryptopp/osrng.h>

#include <algorithm>
#include <stdexcept>

namespace varlo {

namespace {

const DesfireKey& CheckedKey(const DesfireKey* key) {
  if (key == nullptr) {
    throw std::runtime_error("Pointer to key is nullptr.");
  }
  return *key;
}

}  // namespace

SecureBytes RotateLeft(std::span<const std::uint8_t> bytes) {
  SecureBytes rotated(bytes.begin(), bytes.end());
  if (!rotated.empty()) {
    std::rotate(rotated.begin(), rotated.begin() + 1, rotated.end());
  }
  return rotated;
}

DesfireAuthBase::DesfireAuthBase(std::size_t blockSize, const DesfireKey* key)
    : key_(CheckedKey(key)), blockSize_(blockSize), rndA_(blockSize) {
  // Seeded without blocking from the system entropy source, 32 bytes of it.
  CryptoPP::AutoSeededRandomPool pool(false, 32);
  pool.GenerateBlock(rndA_.data(), rndA_.size());
}

SecureBytes DesfireAuthBase::ProcessRndB(std::span<const std::uint8_t> encryptedRndB) {
  if (encryptedRndB.size() != blockSize_) {
    throw std::runtime_error("Random number size missmatch.");
  }
  rndB_ = Decrypt(encryptedRndB);
  SecureBytes message = rndA_;
  SecureBytes rotatedB = RotateLeft(rndB_);
  message.insert(message.end(), rotatedB.begin(), rotatedB.end());
  return Encrypt(message);
}

void DesfireAuthBase::VerifyRndA(std::span<const std::uint8_t> encryptedRndA,
                                 DesfireSessionKey* sessionKey) {
  if (encryptedRndA.size() != blockSize_) {
    throw std::runtime_error("Random number size missmatch.");
  }
  SecureBytes rotatedA = Decrypt(encryptedRndA);
  if (rotatedA != RotateLeft(rndA_)) {
    throw std::runtime_error("Card returned invalid RndA'.");
  }
  if (sessionKey != nullptr) {
    GetSessionKey(*sessionKey);
  }
}

}  // namespace varlo
