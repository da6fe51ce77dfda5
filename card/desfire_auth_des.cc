#include "card/desfire_auth_des.h"

#include <algorithm>
#include <stdexcept>

#include "card/des_cbc_mode.h"

namespace varlo {

DesfireAuthDES::DesfireAuthDES(const DesfireKey* key) : DesfireAuthBase(8, key) {
  if (key_.keyType != kKeyType2K3Des) {
    throw std::runtime_error("Invalid key type for 2k3DES auth.");
  }
}

SecureBytes DesfireAuthDES::Decrypt(std::span<const std::uint8_t> data) {
  if (data.empty()) {
    throw std::runtime_error("Data is empty.");
  }
  DesCbcMode mode(key_.key);
  return mode.Process(data);
}

void DesfireAuthDES::GetSessionKey(DesfireSessionKey& sessionKey) {
  sessionKey.keyType = kKeyType2K3Des;
  sessionKey.keyNumber = 0xFF;
  SecureBytes key;
  key.reserve(16);
  key.insert(key.end(), rndA_.begin(), rndA_.begin() + 4);
  key.insert(key.end(), rndB_.begin(), rndB_.begin() + 4);
  const bool singleDes = key_.key.size() >= 16 &&
                         std::equal(key_.key.begin(), key_.key.begin() + 8, key_.key.begin() + 8);
  if (singleDes) {
    key.insert(key.end(), key.begin(), key.begin() + 8);
  } else {
    key.insert(key.end(), rndA_.begin() + 4, rndA_.begin() + 8);
    key.insert(key.end(), rndB_.begin() + 4, rndB_.begin() + 8);
  }
  sessionKey.key = std::move(key);
}

}  // namespace varlo
