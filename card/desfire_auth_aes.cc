#include "card/desfire_auth_aes.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include <stdexcept>

namespace varlo {

namespace {

constexpr std::size_t kBlock = 16;

void CheckBlocks(std::span<const std::uint8_t> data) {
  if (data.empty() || data.size() % kBlock != 0) {
    throw std::runtime_error("Data is empty or non-multiple of block size.");
  }
}

}  // namespace

DesfireAuthAES::DesfireAuthAES(const DesfireKey* key)
    : DesfireAuthBase(kBlock, key), iv_(kBlock, 0) {
  if (key_.keyType != kKeyTypeAes128) {
    throw std::runtime_error("Invalid key type for AES auth.");
  }
}

SecureBytes DesfireAuthAES::Decrypt(std::span<const std::uint8_t> data) {
  CheckBlocks(data);
  SecureBytes out(data.size());
  try {
    CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption cipher(key_.key.data(), key_.key.size(),
                                                         iv_.data());
    cipher.ProcessData(out.data(), data.data(), data.size());
  } catch (const CryptoPP::Exception& e) {
    throw std::runtime_error(e.what());
  }
  iv_.assign(data.end() - kBlock, data.end());
  return out;
}

SecureBytes DesfireAuthAES::Encrypt(std::span<const std::uint8_t> data) {
  CheckBlocks(data);
  SecureBytes out(data.size());
  try {
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cipher(key_.key.data(), key_.key.size(),
                                                         iv_.data());
    cipher.ProcessData(out.data(), data.data(), data.size());
  } catch (const CryptoPP::Exception& e) {
    throw std::runtime_error(e.what());
  }
  iv_.assign(out.end() - kBlock, out.end());
  return out;
}

void DesfireAuthAES::GetSessionKey(DesfireSessionKey& sessionKey) {
  sessionKey.keyType = kKeyTypeAes128;
  sessionKey.keyNumber = 0xFF;
  SecureBytes key;
  key.reserve(16);
  key.insert(key.end(), rndA_.begin(), rndA_.begin() + 4);
  key.insert(key.end(), rndB_.begin(), rndB_.begin() + 4);
  key.insert(key.end(), rndA_.begin() + 12, rndA_.begin() + 16);
  key.insert(key.end(), rndB_.begin() + 12, rndB_.begin() + 16);
  sessionKey.key = std::move(key);
}

}  // namespace varlo
