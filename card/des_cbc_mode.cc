#include "card/des_cbc_mode.h"

#include <cryptopp/des.h>

#include <stdexcept>

namespace varlo {

namespace {
constexpr std::size_t kBlock = 8;
}  // namespace

DesCbcMode::DesCbcMode(std::span<const std::uint8_t> key)
    : key_(ToSecure(key)), chain_(kBlock, 0) {}

SecureBytes DesCbcMode::Process(std::span<const std::uint8_t> data) {
  if (data.empty() || data.size() % kBlock != 0) {
    throw std::runtime_error("Data is empty or not a multiple of block size.");
  }
  SecureBytes out(data.size());
  try {
    CryptoPP::DES_EDE2::Decryption cipher(key_.data(), key_.size());
    SecureBytes x(kBlock);
    for (std::size_t offset = 0; offset < data.size(); offset += kBlock) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        x[i] = data[offset + i] ^ chain_[i];
      }
      cipher.ProcessBlock(x.data(), out.data() + offset);
      std::copy_n(out.begin() + offset, kBlock, chain_.begin());
    }
  } catch (const CryptoPP::Exception& e) {
    throw std::runtime_error(e.what());
  }
  return out;
}

}  // namespace varlo
